#include "tools/hushnote-transcribe/TranscribeTool.h"

#include <iostream>

int main(int argc, char** argv)
{
    return hushnote::tools::runTranscribeTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
