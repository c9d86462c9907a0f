// Symbol visibility of the KelUI shared library.
#pragma once

#include <QtCore/qglobal.h>

#if defined(KELUI_LIBRARY)
#define KELUI_EXPORT Q_DECL_EXPORT
#else
#define KELUI_EXPORT Q_DECL_IMPORT
#endif
