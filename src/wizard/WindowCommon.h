#pragma once

// What the window's source files share: the layout unit and the fixed
// English texts of the program.

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

inline QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// Texts of the window beyond the given ones.
inline constexpr int kStopQuestionText = 1032;
inline constexpr int kLookingText = 1033;
inline constexpr int kNoAnswerAdviceText = 1034;

inline constexpr const char* kBoxTitle = "Firmware Update";
inline constexpr const char* kSleepFailure = "Could not set DC into Deep Sleep mode. Please replease step 1 to 4 again.";
inline constexpr const char* kProgramCaption = "Pelora 1D Firmware Update";
inline constexpr const char* kCableLost =
    "The connection to the interface cable was lost. Check that the cable is plugged in and clipped on the DC, "
    "then click Next to try again.";

}  // namespace pelora::window
