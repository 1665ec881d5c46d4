#!/usr/bin/env python3
"""What other people's code each shipped program carries, read from its link map: the release's
THIRD-PARTY-NOTICES.txt and its bill of materials (CycloneDX 1.6 JSON), and the bill's check.

  third_party.py make --version V --epoch SECONDS --commit SHA --own DIR --schemas DIR
                      --notices OUT.txt --bill OUT.json [--tool COMMAND]...
                      PROGRAM.exe=LINK.map [PROGRAM.exe=LINK.map]...
  third_party.py check BILL.json SCHEMA_DIR      (Debian's python3-jsonschema: /usr/bin/python3)

Every archive member and object file the linker took (GNU ld's -Map) that does not lie in a
folder of our own (--own) is traced to the Debian package that installed it (dpkg -S) and that
package's version (dpkg-query); its notice text comes from the package's copyright file. An
archive or object that no package installed, or whose package gives no notice text, stops the
release with its name. Same inputs, same bytes out: the only time is the commit's (--epoch).
Every component of the bill carries BSI TR-03183-2's file properties (bsi:component:filename,
executable, archive, structured), which `check` requires besides the schema; the programs carry
our own license, the copyright line of their version resource.
"""
import argparse
import fnmatch
import functools
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import uuid
from urllib.parse import quote
from datetime import datetime, timezone

# The parts of upstream source that a package's archives are built from, where the package's
# copyright file cannot say so to a program (Debian's copyright format names source files, the
# link names archives). The first row whose source package and archive name match applies.
# folders: a machine-readable copyright file gives the part's notice as its paragraphs whose
# Files cover these folders of the upstream source, and its licenses from them; None: the
# whole copyright file is the notice and the license is the row's (GCC's file is free text,
# and it names the runtime library exception for libgcc and libstdc++ itself).
PARTS = [
    ('mingw-w64', ('libpthread.a', 'libwinpthread.a'), 'winpthreads',
     ('mingw-w64-libraries/winpthreads/src/', 'mingw-w64-libraries/winpthreads/include/'), None),
    ('mingw-w64', ('libwinstorecompat.a',), 'winstorecompat', ('mingw-w64-libraries/winstorecompat/',), None),
    # The C runtime, its start-up objects and the import libraries, all built from one folder.
    ('mingw-w64', ('crt*.o', 'lib*.a'), 'MinGW-w64 runtime', ('mingw-w64-crt/',), None),
    ('gcc-mingw-w64', ('libstdc++.a', 'libsupc++.a', 'libstdc++fs.a'), 'libstdc++ (GCC runtime library)', None,
     'GPL-3.0-or-later WITH GCC-exception-3.1'),
    ('gcc-mingw-w64', ('libgcc.a', 'libgcc_eh.a', 'crtbegin.o', 'crtend.o', 'crtfastmath.o'),
     'libgcc (GCC runtime library)', None, 'GPL-3.0-or-later WITH GCC-exception-3.1'),
]
# Debian's name for a license where it differs from SPDX's (Debian's copyright format, 1.0).
DEBIAN_LICENSE_NAMES = {'expat': 'MIT', 'public-domain': 'LicenseRef-public-domain'}
BILL_SCHEMA = 'bom-1.6.SNAPSHOT.schema.json'
# The programs' version resource, whose LegalCopyright line are our own terms.
RESOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'resources', 'installer.rc')


class Stop(Exception):
    pass


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, LC_ALL='C'))


def linked_files(map_path):
    """(archive or None, member or object path) of every input the link map says was taken."""
    taken, section = set(), None
    with open(map_path, encoding='utf-8', errors='replace') as lines:
        for line in lines:
            line = line.rstrip('\n')
            if line.startswith('Archive member included'):
                section = 'members'
            elif line and not line[0].isspace() and section == 'members':
                member = re.match(r'(.+?\.a)\((.+?)\)(?:\s|$)', line)
                if member:
                    taken.add(member.groups())
                elif not line.startswith(('Discarded', 'Allocating', 'Memory')):
                    raise Stop(f'{map_path}: unread line in the archive members: {line}')
                else:
                    section = None
            elif line.startswith('LOAD '):
                path = line[5:]
                # ld's own pseudo-inputs; archives' members are listed above.
                if path in ('dll stuff', 'linker stubs') or path.endswith('.a'):
                    continue
                taken.add((None, path))
    if not taken:
        raise Stop(f'{map_path}: no input named: is it a GNU ld link map?')
    return taken


@functools.lru_cache(maxsize=None)
def package_of(path):
    """(binary package, version, source package, maintainer, architecture) of the installed file, or None."""
    for candidate in dict.fromkeys((os.path.normpath(path), os.path.realpath(path))):
        found = run('dpkg-query', '-S', candidate)
        if found.returncode == 0:
            packages = [line.split(': ', 1)[0] for line in found.stdout.splitlines()
                        if not line.startswith('diversion ')]
            package = packages[0].split(', ')[0]
            info = run('dpkg-query', '-W',
                       '-f=${binary:Package}\t${Version}\t${source:Package}\t${Maintainer}\t${Architecture}', package)
            if info.returncode == 0:
                return tuple(info.stdout.split('\t'))
    return None


def copyright_paragraphs(text):
    """The paragraphs of a machine-readable Debian copyright file, or None for free text."""
    if not text.startswith('Format:'):
        return None
    paragraphs = []
    for block in re.split(r'\n\s*\n', text.strip('\n')):
        fields, name = {}, None
        for line in block.split('\n'):
            if line[:1] in (' ', '\t') and name:
                fields[name] += '\n' + line
            elif ':' in line:
                name, value = line.split(':', 1)
                fields[name] = value.strip()
        paragraphs.append((block, fields))
    return paragraphs


def part_notice(paragraphs, folders):
    """(notice text, license short names) for the folders: the Files paragraph that covers each
    folder wholly (the last one, as in Debian's format), those for files inside them, and the
    stand-alone License paragraphs they name."""
    chosen = []
    for folder in folders:
        covering = None
        for index, (_, fields) in enumerate(paragraphs):
            patterns = fields.get('Files', '').split()
            if any(fnmatch.fnmatchcase(folder + '\0', p) for p in patterns):
                covering = index
            elif any(p.startswith(folder) for p in patterns):
                chosen.append(index)
        if covering is not None:
            chosen.append(covering)
    chosen = sorted(set(chosen))
    licenses = sorted({paragraphs[i][1]['License'].split('\n')[0].strip() for i in chosen})
    names = set()
    for name in licenses:
        names.update(n for n in re.split(r'\s+(?:and|or)\s+', name) if n)
    texts = [i for i, (_, f) in enumerate(paragraphs) if 'Files' not in f and
             f.get('License', '').split('\n')[0].strip() in names and '\n' in f.get('License', '')]
    header = [0] if 'Format' in paragraphs[0][1] else []
    return '\n\n'.join(paragraphs[i][0] for i in header + chosen + texts) + '\n', licenses


def spdx(names, spdx_ids):
    """An SPDX expression of Debian license short names: SPDX's own spelling where it has one."""
    known = {i.lower(): i for i in spdx_ids}
    terms = []
    for name in names:
        for single in re.split(r'\s+and\s+', name):
            plain = single.strip()
            later = plain.endswith('+')
            base = DEBIAN_LICENSE_NAMES.get(plain.lower(), plain.rstrip('+'))
            if later and base.lower() + '-or-later' in known:
                terms.append(known[base.lower() + '-or-later'])
            elif base.lower() in known:
                terms.append(known[base.lower()])
            else:
                terms.append(base if base.startswith('LicenseRef-') else
                             'LicenseRef-' + re.sub(r'[^A-Za-z0-9.-]', '-', plain))
    return ' AND '.join(sorted(set(terms)))


def purl(package):
    """The package URL of a Debian package: pkg:deb/debian/NAME@VERSION?arch=ARCH."""
    return f'pkg:deb/debian/{package[0].split(":")[0]}@{quote(package[1], safe="")}?arch={package[4]}'


def component_of(path, package, spdx_ids, notices):
    """The part of a package a linked archive or object is, with its notice (kept in notices)."""
    binary, version, source, maintainer, _ = package
    base = os.path.basename(path)
    for row_source, names, part, folders, license_ in PARTS:
        if row_source == source and any(fnmatch.fnmatchcase(base, n) for n in names):
            break
    else:
        raise Stop(f'{path}: no notice text for this archive of the Debian package {binary} '
                   f'(tools/third_party.py, PARTS)')
    copyright = f'/usr/share/doc/{binary.split(":")[0]}/copyright'
    try:
        with open(copyright, encoding='utf-8') as f:
            text = f.read()
    except OSError:
        raise Stop(f'{path}: its Debian package {binary} gives no notice text (no {copyright})')
    if folders is None:
        notice = text
    else:
        paragraphs = copyright_paragraphs(text)
        if paragraphs is None:
            raise Stop(f'{path}: {copyright} is not machine-readable: no notice text for {part}')
        notice, names = part_notice(paragraphs, folders)
        if not names:
            raise Stop(f'{path}: {copyright} names no terms for {part} ({", ".join(folders)})')
        license_ = spdx(names, spdx_ids)
    # One text, however many parts and packages (both programs' widths) share it.
    key = hashlib.sha256(notice.encode()).hexdigest()
    shared = notices.setdefault(key, {'text': notice, 'parts': set(), 'files': set()})
    shared['parts'].add(part)
    shared['files'].add(copyright)
    return {'part': part, 'package': binary, 'version': version, 'source': source,
            'maintainer': maintainer, 'license': license_, 'notice': key, 'purl': purl(package)}


def contents(program, map_path, own, spdx_ids, notices):
    """The parts of other people's code in one program: {(part, package): component}."""
    found = {}
    for archive, member in sorted(linked_files(map_path), key=lambda t: (t[0] or '', t[1])):
        path = archive or member
        absolute = os.path.normpath(os.path.join(os.path.dirname(os.path.realpath(map_path)), path))
        if absolute == own or absolute.startswith(own + os.sep):
            continue
        package = package_of(absolute)
        if package is None:
            raise Stop(f'{absolute}: linked into {program}, but no Debian package installed it: no notice text')
        component = component_of(absolute, package, spdx_ids, notices)
        entry = found.setdefault((component['part'], component['package']), dict(component, taken={}))
        # An archive's members taken, or nothing for an object file taken whole.
        entry['taken'].setdefault(os.path.basename(absolute), set()).update([member] if archive else [])
    if not found:
        raise Stop(f'{map_path}: no code of others in {program}: a static program has its runtime')
    return found


def tool_versions(commands):
    tools = []
    for command in commands:
        where = shutil.which(command)
        package = where and package_of(where)
        if not package:
            raise Stop(f'the tool {command} is not a Debian package\'s')
        tools.append({'type': 'application', 'name': command, 'version': package[1], 'purl': purl(package)})
    return sorted(tools, key=lambda t: t['name'])


def write_notices(path, version, programs, notices):
    parts = {}
    for program, found in programs.items():
        for (part, package), c in found.items():
            parts.setdefault(part, []).append((program, c))
    refs = {key: n + 1 for n, key in enumerate(sorted(notices, key=lambda k: sorted(notices[k]['parts'])))}
    out = [f'KQ7750 Firmware Installer {version}: third-party notices', '',
           f'{" and ".join(sorted(programs))} are each one program, linked statically: besides our own code',
           'they hold parts of the libraries below, as the link took them from the Debian package named,',
           'at the version named. The notices those libraries\' licenses ask for follow the list.', '']
    for part in sorted(parts):
        out.append(part)
        for program, c in sorted(parts[part], key=lambda pc: pc[0]):
            taken = ', '.join(f'{a} ({len(m)} of its members)' if m else a for a, m in sorted(c['taken'].items()))
            out += [f'  in {program}: version {c["version"]}, Debian package {c["package"]}',
                    f'    license: {c["license"]}', f'    taken: {taken}', f'    notice: [{refs[c["notice"]]}]']
        out.append('')
    for key, n in sorted(refs.items(), key=lambda kn: kn[1]):
        shared = notices[key]
        out += ['=' * 78, f'[{n}] {", ".join(sorted(shared["parts"]))}, as each of these files has it:']
        out += [f'    {copyright}' for copyright in sorted(shared['files'])]
        out += ['=' * 78, '', shared['text'].rstrip('\n'), '']
    with open(path, 'w', encoding='utf-8', newline='\n') as f:
        f.write('\n'.join(out))


def supplier(maintainer):
    """Debian, who built the package, with its maintainer ("Name <address>") to ask."""
    name, _, email = maintainer.partition(' <')
    return {'name': 'Debian', 'url': ['https://www.debian.org/'],
            'contact': [dict({'name': name.strip()}, **({'email': email.rstrip('>')} if email else {}))]}


def own_license():
    """Our terms, which no SPDX identifier names: a LicenseRef with the copyright line as its text."""
    with open(RESOURCE, encoding='utf-8') as f:
        line = re.search(r'VALUE "LegalCopyright", "([^"]+)"', f.read())
    if not line:
        raise Stop(f'{RESOURCE}: no LegalCopyright line: no license for our own programs')
    return [{'license': {'name': 'LicenseRef-KQ7750-proprietary', 'acknowledgement': 'declared',
                         'text': {'contentType': 'text/plain', 'content': line.group(1)}}}]


def file_properties(filename, executable):
    """BSI TR-03183-2's properties of a component's file, in its CycloneDX taxonomy. A part is the
    archive or object file the linker took it from: not run on its own but inside the program,
    and shipped linked into it, not as an archive. Both kinds are structured, the metadata of their
    contents still present: the archive's members and symbols, the PE file's headers, sections,
    imports and version resource (and the TR takes "structured" for a file with any such part)."""
    return ([{'name': 'bsi:component:filename', 'value': filename}] if filename else []) + [
        {'name': 'bsi:component:executable', 'value': 'executable' if executable else 'non-executable'},
        {'name': 'bsi:component:archive', 'value': 'no archive'},
        {'name': 'bsi:component:structured', 'value': 'structured'}]


def write_bill(path, args, programs, tools):
    stamp = datetime.fromtimestamp(args.epoch, timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ')
    components, dependencies = [], []
    for program in sorted(programs):
        with open(program, 'rb') as f:
            digest = hashlib.sha512(f.read()).hexdigest()
        name = os.path.basename(program)
        inside = []
        for (part, package), c in sorted(programs[program].items()):
            ref = f'{name}/{c["package"].split(":")[0]}/{part}'
            about = {'type': 'library', 'version': c['version'], 'supplier': supplier(c['maintainer']),
                     'licenses': [{'expression': c['license']}], 'purl': c['purl']}
            # A component has one file name at most, and a part may come from several files (the
            # runtime's import libraries, libgcc.a and libgcc_eh.a): each is a component of the part.
            files = [dict(about, name=f, **{'bom-ref': f'{ref}/{f}', 'properties': file_properties(f, False)})
                     for f in sorted(c['taken'])]
            inside.append(dict(about, **{
                'bom-ref': ref, 'name': part, 'scope': 'required', 'components': files,
                'properties': [{'name': 'kq7750:relation', 'value': 'statically linked into ' + name}] +
                              file_properties(None, False)}))
            dependencies += [{'ref': ref, 'dependsOn': [f['bom-ref'] for f in files]}] + \
                            [{'ref': f['bom-ref']} for f in files]
        components.append({
            'type': 'application', 'bom-ref': name, 'version': args.version,
            'name': 'KQ7750 Firmware Installer ' + re.sub(r'^.*-|\.exe$', '', name),
            'supplier': {'name': 'KQ7750 Firmware Installer developers'},
            'hashes': [{'alg': 'SHA-512', 'content': digest}], 'licenses': own_license(),
            'properties': file_properties(name, True), 'components': inside})
        dependencies.append({'ref': name, 'dependsOn': [c['bom-ref'] for c in inside]})
    bill = {
        '$schema': 'http://cyclonedx.org/schema/bom-1.6.schema.json', 'bomFormat': 'CycloneDX',
        'specVersion': '1.6', 'serialNumber': uuid.uuid5(uuid.NAMESPACE_URL, 'kq7750:' + args.commit).urn,
        'version': 1,
        'metadata': {
            'timestamp': stamp, 'tools': {'components': tools},
            'authors': [{'name': 'KQ7750 Firmware Installer developers'}],
            'component': {'type': 'application', 'bom-ref': 'release', 'name': 'KQ7750 Firmware Installer',
                          'version': args.version,
                          'properties': [{'name': 'kq7750:commit', 'value': args.commit}]},
            'supplier': {'name': 'KQ7750 Firmware Installer developers'}},
        'components': components,
        'dependencies': [{'ref': 'release', 'dependsOn': sorted(os.path.basename(p) for p in programs)}]
                        + dependencies}
    with open(path, 'w', encoding='utf-8', newline='\n') as f:
        json.dump(bill, f, indent=2, sort_keys=True)
        f.write('\n')


def make(args):
    with open(os.path.join(args.schemas, 'spdx.SNAPSHOT.schema.json'), encoding='utf-8') as f:
        spdx_ids = json.load(f)['enum']
    notices, programs = {}, {}
    own = os.path.realpath(args.own)
    for pair in args.programs:
        program, map_path = pair.split('=', 1)
        programs[program] = contents(os.path.basename(program), map_path, own, spdx_ids, notices)
    write_notices(args.notices, args.version, {os.path.basename(p): f for p, f in programs.items()}, notices)
    write_bill(args.bill, args, programs, tool_versions(args.tool))


def file_errors(components, programs=True):
    """What BSI TR-03183-2's properties lack in each component: a program executable, a part
    not; none an archive, all structured; a file name for each but a part that has its files
    as components of its own; and each a license."""
    errors = []
    for component in components:
        values = {}
        for p in component.get('properties', []):
            values.setdefault(p['name'], []).append(p['value'])
        want = {'bsi:component:filename': None, 'bsi:component:archive': 'no archive',
                'bsi:component:executable': 'executable' if programs else 'non-executable',
                'bsi:component:structured': 'structured'}
        for name, value in want.items():
            got = values.get(name, [])
            if name == 'bsi:component:filename' and not got and not programs and component.get('components'):
                continue
            if len(got) != 1 or value and got[0] != value:
                errors.append(f'{component.get("bom-ref")}: {name} {"is " + " and ".join(got) if got else "missing"}'
                              f', wanted once: {value or "its file name"}')
        if not component.get('licenses'):
            errors.append(f'{component.get("bom-ref")}: no license')
        errors += file_errors(component.get('components', []), False)
    return errors


def check(bill_path, schema_dir):
    """The bill against CycloneDX's schema, the schemas it refers to read from the same folder,
    and each component's BSI TR-03183-2 properties."""
    import jsonschema
    schemas = {}
    for name in sorted(os.listdir(schema_dir)):
        if name.endswith('.schema.json'):
            with open(os.path.join(schema_dir, name), encoding='utf-8') as f:
                schema = json.load(f)
            schemas['http://cyclonedx.org/schema/' + name] = schemas[schema.get('$id', name)] = schema
    root = schemas['http://cyclonedx.org/schema/' + BILL_SCHEMA]
    with open(bill_path, encoding='utf-8') as f:
        bill = json.load(f)
    checker = jsonschema.Draft7Validator.FORMAT_CHECKER
    try:  # jsonschema 4.18 and later (Debian 13) resolve through referencing ...
        from referencing import Registry, Resource
        registry = Registry().with_resources((uri, Resource.from_contents(s)) for uri, s in schemas.items())
        validator = jsonschema.Draft7Validator(root, registry=registry, format_checker=checker)
    except ImportError:  # ... earlier ones (Debian 12) through a RefResolver's store.
        def refuse(uri):
            raise jsonschema.RefResolutionError(f'{uri} is not in {schema_dir}: no schema is fetched')
        resolver = jsonschema.RefResolver.from_schema(root, store=schemas, handlers={'http': refuse, 'https': refuse})
        validator = jsonschema.Draft7Validator(root, resolver=resolver, format_checker=checker)
    errors = sorted(validator.iter_errors(bill), key=lambda e: list(e.absolute_path))
    for error in errors:
        print(f'{bill_path}: {"/".join(map(str, error.absolute_path))}: {error.message}', file=sys.stderr)
    missing = file_errors(bill.get('components', []))
    for error in missing:
        print(f'{bill_path}: {error}', file=sys.stderr)
    return 1 if errors or missing else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    sub = parser.add_subparsers(dest='command', required=True)
    m = sub.add_parser('make')
    for option in ('--version', '--commit', '--own', '--schemas', '--notices', '--bill'):
        m.add_argument(option, required=True)
    m.add_argument('--epoch', type=int, required=True)
    m.add_argument('--tool', action='append', default=[])
    m.add_argument('programs', nargs='+', metavar='PROGRAM=MAP')
    c = sub.add_parser('check')
    c.add_argument('bill')
    c.add_argument('schemas')
    args = parser.parse_args()
    try:
        return make(args) or 0 if args.command == 'make' else check(args.bill, args.schemas)
    except Stop as stop:
        print(f'third_party: {stop}', file=sys.stderr)
        return 1


if __name__ == '__main__':
    sys.exit(main())
