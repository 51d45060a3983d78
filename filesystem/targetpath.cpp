// Target path preparation: missing parent directories, read-only targets.
#include "targetpath_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "platform_p.h"

namespace korv {

void prepareTargetPath(const std::string& target)
{
    const QString path = QFile::decodeName(QByteArray::fromStdString(target));

    // Walk up to the nearest path that exists, collecting the missing names
    // from the deepest to the shallowest. A path whose parent is itself (the
    // root, or "." when the working directory is gone) ends the walk.
    QString existing = QFileInfo(path).path();
    QStringList missing;
    while (!QFileInfo::exists(existing)) {
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing)
            break;
        missing.append(info.fileName());
        existing = parent;
    }

    // Create them from the top down; one that fails is skipped silently.
    QDir dir(existing);
    while (!missing.isEmpty()) {
        dir.mkdir(missing.last());
        dir.setPath(dir.filePath(missing.last()));
        missing.removeLast();
    }

    if (platform::exists(target) && platform::isReadOnly(target))
        platform::clearReadOnly(target);
}

} // namespace korv
