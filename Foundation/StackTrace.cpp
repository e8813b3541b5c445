#include "Foundation/StackTrace.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace hushnote {

namespace {

// backtrace_symbols gives "module(mangled+0x12) [0xaddr]"; swap in the demangled name.
std::string demangleFrame(const char* frame)
{
    std::string text(frame);
    const auto open = text.find('(');
    const auto plus = text.find('+', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || plus == std::string::npos || plus <= open + 1) {
        return text;
    }
    const std::string mangled = text.substr(open + 1, plus - open - 1);
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), std::free);
    if (status != 0 || !name) {
        return text;
    }
    return text.substr(0, open + 1) + name.get() + text.substr(plus);
}

} // namespace

std::string currentStackTrace()
{
    constexpr int kMaxFrames = 64;
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    std::unique_ptr<char*, void (*)(void*)> symbols(::backtrace_symbols(frames, count), std::free);
    std::string out;
    // Frame 0 is this function itself.
    for (int i = 1; i < count; ++i) {
        if (!out.empty()) {
            out += '\n';
        }
        out += symbols ? demangleFrame(symbols.get()[i]) : std::string("?");
    }
    return out;
}

} // namespace hushnote
