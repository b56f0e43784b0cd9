// pellorin: builds the recovery media of the thin-client image.
#include "app/CommandLine.h"

int main(int argc, char** argv) { return pellorin::RunCommandLine(argc, argv); }
