#pragma once
// velmora-encode's command line: what it asks for, or why it cannot be done.

#include <string>
#include <vector>

#include "engine/job/engine.h"

namespace velmora::tool {

// --shard K/N: the K-th of N shares of the sources (count 0: all of them).
struct Shard {
    int index = 0;
    int count = 0;
};

struct Options {
    encoder::JobSettings job;  // the choices every file shares
    std::vector<std::string> sources;
    std::string destination;  // one file
    std::string outputDir;    // many files, when set
    bool overwrite = false;
    bool skipExisting = false;  // a source whose set is complete is not made again
    Shard shard{};
    bool json = false;
    bool printPlan = false;
    bool help = false;
};

// Returns an error message, empty on success.
std::string parse(int argc, char** argv, Options& options);

}  // namespace velmora::tool
