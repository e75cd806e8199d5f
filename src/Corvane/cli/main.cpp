#include "Corvane/cli/CommandLine.h"
#include "Corvane/cli/CommandLineError.h"
#include "Corvane/cli/VeltoProgram.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv) {
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
