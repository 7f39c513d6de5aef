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

#include "faults.hpp"
#include "fchk_io.hpp"

int main(int argc, char** argv) {
    if (const char* log = std::getenv("QUORIN_STANDIN_LOG"); log != nullptr && *log != '\0') {
        std::ofstream out(log, std::ios::app);
        out << "formchk\n";
    }
    standin::misbehave("formchk");
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
    std::string text = rest.str();
    if (marker != standin::kCheckpointMarker || text.find("\nNumber of atoms ") == std::string::npos) {
        std::cerr << "formchk: " << argv[1] << " is not a checkpoint file\n";
        return 1;
    }
    if (standin::fault("cut_force_constants")) {
        // Killed while writing: the file ends inside the last force constant,
        // its exponent and line feed lost ("5.28594691E-01" reads 5.28594691).
        const std::size_t section = text.find("\nCartesian Force Constants");
        const std::size_t next = section == std::string::npos ? section : text.find("\n", text.find("\n", section + 1));
        std::size_t end = next;
        while (end != std::string::npos && end + 1 < text.size() && text[end + 1] == ' ') end = text.find('\n', end + 1);
        if (end != std::string::npos) text.resize(end - 4);
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
