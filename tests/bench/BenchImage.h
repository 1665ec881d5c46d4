// The Blackfin image (resource "TALVOR_LDR" 300) as the records that go on the wire,
// and the wire floor of sending it echo-paced at a given baud rate.
#pragma once

#include <string>
#include <vector>

struct BenchImage {
    std::vector<std::string> records;  // each line without CR, followed by CR LF
    size_t characters = 0;             // every byte of every record, CR LF included

    // False with `error` set when the resource is missing or holds no line.
    bool load(std::string& error);

    // 10 bits a character for every record, plus one character of echo tail per
    // record: the loader echoes a byte once it has arrived, so the last byte of an
    // echo ends one character time after the last byte of its record.
    double wireFloorSeconds(unsigned baud) const;
};

// `kqsim loader` arguments for a benchmark: paced at 115200 baud or not, and told where
// the shipped images are, so its summary names the image the Blackfin memory holds.
std::string loaderArguments(bool paced);
