// The yardstick for qdctl's one-shot commands: a program that starts Qt Core
// as qdctl does and does nothing else.

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return 0;
}
