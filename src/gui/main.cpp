#include "gui/Startup.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    // Answered before any window system is needed.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("Corvane " CORVANE_VERSION);
        return 0;
    }
    QApplication application(argc, argv);
    return RunCorvane(PackageArgument(QCoreApplication::arguments()));
}
