#pragma once

// What the window's source files share: the layout unit and the program's
// English name.

#include <QRect>
#include <QString>

#include <string>

namespace pelora::window {

// The layout is given in twips; 15 twips make one pixel at 96 dpi. Qt
// scales these logical pixels with the screen's device-pixel ratio.
inline constexpr int Twips(int twips) { return (twips + 7) / 15; }

inline QRect TwipsRect(int left, int top, int width, int height)
{
    return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

// The illustration on page 2, in the blank lines the page leaves for it.
inline QRect IllustrationRect() { return TwipsRect(720, 240, 5835, 2610); }

inline QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// Texts of the window beyond the given ones.
inline constexpr int kStopQuestionText = 1032;
inline constexpr int kLookingText = 1033;
inline constexpr int kNoAnswerAdviceText = 1034;

// Before the texts are open (and when they cannot be), the program's name is English.
inline constexpr const char* kProgramCaption = "Pelora 1D Firmware Update";

}  // namespace pelora::window
