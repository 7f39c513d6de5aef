// Stand-in for Gaussian's formchk: turns a checkpoint written by the stand-in
// g16 into its formatted checkpoint.
//
//     formchk job.chk job.fchk
//
// The stand-in checkpoint is a marker line followed by the formatted text
// (see g16.cpp), so the work is to check the marker and copy the rest.  A
// missing or garbled checkpoint leaves no output file, as a failing formchk
// does.  With QUORIN_STANDIN_LOG set, "formchk" is appended to that file.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "fchk_io.hpp"

int main(int argc, char** argv) {
    if (const char* log = std::getenv("QUORIN_STANDIN_LOG"); log != nullptr && *log != '\0') {
        std::ofstream out(log, std::ios::app);
        out << "formchk\n";
    }
    if (argc != 3) {
        std::cerr << "usage: formchk file.chk file.fchk\n";
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "formchk: cannot open " << argv[1] << "\n";
        return 1;
    }
    std::string marker;
    std::getline(in, marker);
    std::stringstream rest;
    rest << in.rdbuf();
    const std::string text = rest.str();
    if (marker != standin::kCheckpointMarker || text.find("\nNumber of atoms ") == std::string::npos) {
        std::cerr << "formchk: " << argv[1] << " is not a checkpoint file\n";
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        std::cerr << "formchk: cannot write " << argv[2] << "\n";
        return 1;
    }
    std::cout << " Read checkpoint file " << argv[1] << "\n Write formatted file " << argv[2] << "\n";
    return 0;
}
