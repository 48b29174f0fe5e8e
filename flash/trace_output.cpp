#include "trace_output.h"

#include <QFile>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define fdopen _fdopen
#else
#include <unistd.h>
#endif

namespace flash {

std::FILE* separateTrace(const QString& trace)
{
    std::fflush(stdout);
    const int saved = dup(fileno(stdout));
    std::FILE* own = saved >= 0 ? fdopen(saved, "w") : nullptr;
    if (!own) {
        std::fprintf(stderr, "tavelin-flash: cannot keep standard output apart from the trace\n");
        return nullptr;
    }
    if (trace == QLatin1String("-")) {
        dup2(fileno(stderr), fileno(stdout));
    } else if (!std::freopen(QFile::encodeName(trace).constData(), "a", stdout)) {
        std::fprintf(stderr, "tavelin-flash: cannot write the trace to %s\n", qPrintable(trace));
        std::fclose(own);
        return nullptr;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    return own;
}

}  // namespace flash
