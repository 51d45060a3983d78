// KFsCryptedDevice: placeholder until the streaming decoder lands; every
// open fails.
#include "KFsCryptedDevice.h"

struct KFsCryptedDevice::Private {
    QString fileName;
    QIODevice* source = nullptr;
    KFsError error;
};

KFsCryptedDevice::KFsCryptedDevice(const QString& fileName, QObject* parent)
    : QIODevice(parent)
    , d(new Private)
{
    d->fileName = fileName;
}

KFsCryptedDevice::KFsCryptedDevice(QIODevice* source, QObject* parent)
    : QIODevice(parent)
    , d(new Private)
{
    d->source = source;
}

KFsCryptedDevice::~KFsCryptedDevice() = default;

QString KFsCryptedDevice::fileName() const
{
    return d->fileName;
}
bool KFsCryptedDevice::isCrypted() const
{
    return false;
}
qint64 KFsCryptedDevice::storedSize() const
{
    return -1;
}
KFsError KFsCryptedDevice::error() const
{
    return d->error;
}

bool KFsCryptedDevice::open(OpenMode)
{
    d->error = { KFsErrorCode::IoError, d->fileName, QStringLiteral("not available yet"), -1 };
    setErrorString(d->error.message);
    return false;
}

void KFsCryptedDevice::close()
{
    QIODevice::close();
}
bool KFsCryptedDevice::isSequential() const
{
    return d->source && d->source->isSequential();
}
qint64 KFsCryptedDevice::size() const
{
    return 0;
}
bool KFsCryptedDevice::seek(qint64 pos)
{
    return QIODevice::seek(pos);
}
bool KFsCryptedDevice::atEnd() const
{
    return true;
}
bool KFsCryptedDevice::commit()
{
    return false;
}
void KFsCryptedDevice::cancelWriting() { }
QByteArray KFsCryptedDevice::encode(const QByteArray&)
{
    return {};
}

QByteArray KFsCryptedDevice::decode(const QByteArray&, bool* ok)
{
    if (ok)
        *ok = false;
    return {};
}

qint64 KFsCryptedDevice::readData(char*, qint64)
{
    return -1;
}
qint64 KFsCryptedDevice::writeData(const char*, qint64)
{
    return -1;
}
