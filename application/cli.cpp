#include "CommandLine.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    return VistelCapture::CommandLine::Run(std::vector<std::string>(argv + 1, argv + argc));
}
