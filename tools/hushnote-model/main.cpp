#include "tools/hushnote-model/ModelTool.h"

#include <iostream>

int main(int argc, char** argv)
{
    return hushnote::tools::runModelTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
