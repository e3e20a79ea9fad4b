// Pictures of the page buttons and the tray icon, drawn at run time so the
// program needs no image files.
#pragma once

#include <QIcon>

namespace vorel {

QIcon StatusPageIcon();
QIcon SetupPageIcon();
QIcon TrayIcon();

}  // namespace vorel
