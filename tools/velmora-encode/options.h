#pragma once
// velmora-encode's command line: what it asks for, or why it cannot be done.

#include <string>
#include <vector>

#include "engine/engine.h"

namespace velmora::tool {

struct Options {
    encoder::JobSettings job;  // the choices every file shares
    std::vector<std::string> sources;
    std::string destination;  // one file
    std::string outputDir;    // many files, when set
    bool overwrite = false;
    bool json = false;
    bool printPlan = false;
    bool help = false;
};

// Returns an error message, empty on success.
std::string parse(int argc, char** argv, Options& options);

}  // namespace velmora::tool
