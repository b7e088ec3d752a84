#pragma once

#include <QApplication>
#include <QIcon>
#include <QStyle>

namespace trevik::shell {

// The desktop theme's icon of that name, else the style's own.
inline QIcon ThemedIcon(const char* name, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(name, QApplication::style()->standardIcon(fallback));
}

} // namespace trevik::shell
