#include "process_setup.h"

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

namespace {

bool hasOutput(DWORD which)
{
    HANDLE h = ::GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// Puts trace.log on descriptors 1 and 2, the process's standard handles and
// the C streams. A program started from Explorer has no standard handles:
// msvcrt then gives stdout and stderr the descriptor -2, and freopen refuses
// such a stream (Wine's msvcrt does), so the file is opened here and the
// streams are pointed at its descriptors.
void traceToFile()
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (::GetFileAttributesExW(L"trace.log", GetFileExInfoStandard, &a) &&
        (a.nFileSizeHigh > 0 || a.nFileSizeLow > 50u * 1024 * 1024))
        ::MoveFileExW(L"trace.log", L"trace.log.1", MOVEFILE_REPLACE_EXISTING);
    const int fd = ::_wopen(L"trace.log", _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    const bool onOut = ::_dup2(fd, 1) == 0;
    const bool onErr = ::_dup2(fd, 2) == 0;
    ::_close(fd);
    if (!onOut)
        return;
#ifndef _UCRT
    if (_fileno(stdout) < 0)
        stdout->_file = 1;
    if (onErr && _fileno(stderr) < 0)
        stderr->_file = 2;
#endif
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(1)));
    if (onErr)
        ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(2)));
    std::setvbuf(stdout, nullptr, _IOLBF, 4096);
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
