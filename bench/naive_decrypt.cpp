// Peer: the naive design with Qt alone: readAll, qUncompress, write.
#include <QByteArray>
#include <QFile>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    QFile source(QString::fromLocal8Bit(argv[1]));
    if (!source.open(QIODevice::ReadOnly))
        return 1;
    if (source.read(2) != "kr")
        return 1;
    QByteArray crypted = source.readAll();
    source.close();
    QByteArray plain = qUncompress(crypted);
    crypted.clear();
    QFile target(QString::fromLocal8Bit(argv[2]));
    if (!target.open(QIODevice::WriteOnly))
        return 1;
    return target.write(plain) == plain.size() ? 0 : 1;
}
