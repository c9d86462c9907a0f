// The library's scroll-bar look, for views that bring their own style sheet.
// Private to the library.
#pragma once

inline constexpr const char kelScrollBarStyle[] =
    "QScrollBar:vertical { border: none; background: transparent; width: 10px; margin: 0; }"
    "QScrollBar:horizontal { border: none; background: transparent; height: 10px; margin: 0; }"
    "QScrollBar::handle { background: #aaa; border-radius: 5px; }"
    "QScrollBar::handle:hover { background: #999; }"
    "QScrollBar::handle:vertical { min-height: 20px; }"
    "QScrollBar::handle:horizontal { min-width: 20px; }"
    "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; }"
    "QScrollBar::add-page, QScrollBar::sub-page { background: none; }";
