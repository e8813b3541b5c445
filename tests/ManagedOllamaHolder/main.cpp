// managed-ollama-holder EXECUTABLE MODELS-DIRECTORY PORT
// Starts a managed Ollama server the way Hushnote does, prints "ready" once it is healthy and
// then waits to be killed. The tests kill it with SIGKILL and check nothing it started lives on.

#include "HushnoteCore/ManagedOllamaServer.h"

#include <asio/io_context.hpp>

#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 64;
    }
    asio::io_context loop;
    auto session = std::make_shared<hushnote::LoopbackHttpSession>();
    hushnote::ManagedOllamaServer server(loop.get_executor(),
        hushnote::ManagedOllamaConfiguration(argv[1], argv[2], std::nullopt, std::stoi(argv[3])), session);
    int status = 1;
    asio::co_spawn(loop, server.ensureStarted(), [&](std::exception_ptr error) {
        if (!error) {
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
            status = 0;
        }
    });
    loop.run();
    if (status != 0) {
        return status;
    }
    for (;;) {
        pause();
    }
}
