#include "velto/CommandLine.h"
#include "velto/CommandLineError.h"
#include "velto/VeltoProgram.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // Every log append takes and frees a few large temporary buffers on the I/O thread. With
    // glibc's adaptive threshold they soon come from the heap and their pages stay with the
    // process after they are freed (about 6 MB more resident once the log is full); a fixed
    // threshold keeps them mapped only while they are in use.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    corvane::CommandLine line;
    try {
        line = corvane::CommandLine::parse(arguments);
    } catch (const corvane::CommandLineError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    return corvane::VeltoProgram::run(line, argv[0]);
}
