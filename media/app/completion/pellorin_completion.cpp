// Writes pellorin's bash completion script, read from its command line definitions, to the
// file named by the one argument. Run by the build; not installed.
#include "app/CommandLine.h"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pellorin_completion OUTPUT\n");
        return 64;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << pellorin::BashCompletionScript();
    out.close();
    return out ? 0 : 1;
}
