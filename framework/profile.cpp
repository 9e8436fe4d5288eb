#include "framework/profile.h"

#include <QSettings>

namespace kestrel {

namespace {
QString KeyPath(const char* key) {
    return QString::fromLatin1(kProfileSection) + QLatin1Char('/') + QString::fromLatin1(key);
}
}  // namespace

int GetProfileInt(const char* key, int defaultValue) {
    QSettings settings(kProfileOrganisation, kProfileApplication);
    bool ok = false;
    const int value = settings.value(KeyPath(key)).toInt(&ok);
    return ok ? value : defaultValue;
}

bool HasProfileInt(const char* key) {
    QSettings settings(kProfileOrganisation, kProfileApplication);
    bool ok = false;
    settings.value(KeyPath(key)).toInt(&ok);
    return ok;
}

void WriteProfileInt(const char* key, int value) {
    QSettings settings(kProfileOrganisation, kProfileApplication);
    const QString path = KeyPath(key);
    bool ok = false;
    if (settings.value(path).toInt(&ok) == value && ok)
        return;
    settings.setValue(path, value);
}

}  // namespace kestrel
