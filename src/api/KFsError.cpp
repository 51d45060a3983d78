// KFsError: the one-line form of a failure.
#include "KFsError.h"

QString KFsError::toString() const
{
    if (path.isEmpty())
        return message;
    return path + QStringLiteral(": ") + message;
}
