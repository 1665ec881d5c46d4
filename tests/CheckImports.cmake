# cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> -P CheckImports.cmake
cmake_minimum_required(VERSION 3.20)
# Fails when the program imports a DLL that Windows would look for beside the program: a MinGW
# runtime DLL (static linking slipped) or any system DLL that is not a Known DLL. Microsoft's
# "Dynamic-link library search order": a Known DLL (HKLM\SYSTEM\CurrentControlSet\Control\
# Session Manager\KnownDLLs) always comes from System32; any other name is looked for in the
# program's folder first. These are the Known DLLs of Windows 7 through 11 alike (ntdll is
# always mapped), and COMCTL32.DLL, which the manifest binds to its side-by-side assembly.
# Everything else the program loads itself, from System32 (engine/SystemLibrary.h).
set(allowed_dlls
    advapi32.dll clbcatq.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll
    msvcrt.dll normaliz.dll nsi.dll ntdll.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll
    sechost.dll setupapi.dll shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll
    comctl32.dll)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
if(NOT names)
  message(FATAL_ERROR "${PROGRAM}: no import table found")
endif()
set(foreign "")
foreach(line ${names})
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" lower)
  message(STATUS "imports ${dll}")
  if(NOT lower IN_LIST allowed_dlls)
    list(APPEND foreign ${dll})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that Windows would look for beside it: ${foreign}")
endif()

# The load configuration's DependentLoadFlags (offset 54 in a 32-bit program, 78 in a 64-bit
# one) must hold LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800): Windows 10 1607 and later then take the
# static imports of the program and of the DLLs loaded with it from System32 alone.
string(REGEX MATCH "Magic[ \t]+([0-9a-fA-F]+)" _ "${dump}")
if(CMAKE_MATCH_1 STREQUAL "010b")
  set(flags_at 54)
else()
  set(flags_at 78)
endif()
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${dump}")
set(image_base 0x${CMAKE_MATCH_1})
if(NOT dump MATCHES "Entry a ([0-9a-fA-F]+) ([0-9a-fA-F]+) Load Configuration Directory")
  message(FATAL_ERROR "${PROGRAM}: no load configuration entry")
endif()
math(EXPR config_rva "0x${CMAKE_MATCH_1}")
math(EXPR config_size "0x${CMAKE_MATCH_2}")
math(EXPR flags_end "${flags_at} + 2")
if(config_rva EQUAL 0 OR config_size LESS flags_end)
  message(FATAL_ERROR "${PROGRAM}: no load configuration that holds DependentLoadFlags (size ${config_size})")
endif()
# The file offset of that address, from the section table of `objdump -h`.
execute_process(COMMAND ${OBJDUMP} -h ${PROGRAM} OUTPUT_VARIABLE sections)
string(REGEX MATCHALL "\n +[0-9]+ [^ ]+ +[0-9a-f]+ +[0-9a-f]+ +[0-9a-f]+ +[0-9a-f]+" rows "${sections}")
set(flags_offset "")
foreach(row ${rows})
  string(REGEX MATCH "([0-9a-f]+) +([0-9a-f]+) +[0-9a-f]+ +([0-9a-f]+)$" _ "${row}")
  math(EXPR start "0x${CMAKE_MATCH_2} - ${image_base}")
  math(EXPR end "${start} + 0x${CMAKE_MATCH_1}")
  if(config_rva GREATER_EQUAL start AND config_rva LESS end)
    math(EXPR flags_offset "${config_rva} - ${start} + 0x${CMAKE_MATCH_3} + ${flags_at}")
  endif()
endforeach()
if(flags_offset STREQUAL "")
  message(FATAL_ERROR "${PROGRAM}: the load configuration lies in no section")
endif()
file(READ ${PROGRAM} flags OFFSET ${flags_offset} LIMIT 2 HEX)
message(STATUS "load configuration at ${config_rva} (${config_size} bytes): DependentLoadFlags ${flags}")
if(NOT flags STREQUAL "0008")
  message(FATAL_ERROR "${PROGRAM}: DependentLoadFlags is ${flags} (little-endian), not 0x0800")
endif()
