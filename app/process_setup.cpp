#include "process_setup.h"

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <ctime>

namespace {

bool hasOutput(DWORD which)
{
    HANDLE h = ::GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
}

void traceToFile()
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (::GetFileAttributesExW(L"trace.log", GetFileExInfoStandard, &a) &&
        (a.nFileSizeHigh > 0 || a.nFileSizeLow > 50u * 1024 * 1024))
        ::MoveFileExW(L"trace.log", L"trace.log.1", MOVEFILE_REPLACE_EXISTING);
    if (!std::freopen("trace.log", "a", stdout))
        return;
    std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    if (std::freopen("trace.log", "a", stderr))
        std::setvbuf(stderr, nullptr, _IONBF, 0);
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", std::localtime(&now));
    std::printf("== tavelin started %s\n", when);
    std::fflush(stdout);
}

}  // namespace

ProcessSetup::ProcessSetup()
{
    ::timeBeginPeriod(1);
    if (!hasOutput(STD_OUTPUT_HANDLE))
        traceToFile();
}

ProcessSetup::~ProcessSetup() { ::timeEndPeriod(1); }

#else

ProcessSetup::ProcessSetup() = default;
ProcessSetup::~ProcessSetup() = default;

#endif
