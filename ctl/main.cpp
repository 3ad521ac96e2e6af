// psuctl: the supplies from a shell or a script (see psuctl --help).

#include "ctl/commands.h"

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return RunPsuctl(arguments);
}
