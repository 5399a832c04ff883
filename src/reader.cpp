// vintrelle-reader: reads one photo or movie for the indexer, in a process
// of its own, so that a file that crashes a decoder ends only this process.

#include "Core/Engine/ReaderProcess.h"

int main(int argc, char** argv) { return vintrelle::ReaderProcess::serve(argc, argv); }
