// The smallest Qt Core program, the floor of a command-line client that loads nothing else: the
// baseline of bench_cli.

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    const QCoreApplication app(argc, argv);
    return 0;
}
