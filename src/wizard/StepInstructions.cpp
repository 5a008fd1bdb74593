#include "StepInstructions.h"

#include <vector>

namespace pelora {

namespace {

constexpr const char* kBreak = "\r\n";

// One row of a page: numbered rows get the running item number in front.
struct PageRow {
    bool numbered;
    const char* text;
    int lineBreaks;
};

const std::vector<PageRow>& Page1()
{
    static const std::vector<PageRow> rows = {
        {true, ". Plug the USB interface cable into an USB port on the PC.", 2},
        {true, ". Dive Computer (DC) needs to be in the Watch Main Time Mode.", 2},
        {true, ". Clip the interface cable on the DC data port.", 2},
        {true, ". A PC will appear with a 120 second countdown (you have 2 minutes to initiate the connection PC-DC).", 1},
        {false, "   a) If the  PC screen does not appear, unclip the interface cable from the DC for 5 second then repeat", 1},
        {false, "   steps 2, 3, 4.", 2},
        {false, ">>> Click on Next button to continue... >>>", 0},
    };
    return rows;
}

const std::vector<PageRow>& Page2()
{
    static const std::vector<PageRow> rows = {
        {true, ". DC is now in Deep Sleep mode. Do not unclip the interface cable from the DC.", 2},
        {true, ". Activate the DC by depressing and holding both the Advance (A) and Select (S) buttons until the PC "
               "screen appears with a 120 second countdown (about 8 seconds).", 1},
        {false, "   a) If the PC screen does not appear, unclip the interface cable from the DC for 5 seconds, then clip it ", 1},
        {false, "   back on.", 2},
        {false, ">>> Click on Next button to continue...>>>", 0},
    };
    return rows;
}

std::string Compose(const std::vector<PageRow>& rows, int firstNumber)
{
    std::string text;
    int number = firstNumber;
    for (const PageRow& row : rows) {
        if (row.numbered) text += std::to_string(number++);
        text += row.text;
        for (int i = 0; i < row.lineBreaks; ++i) text += kBreak;
    }
    return text;
}

}  // namespace

bool StepShowsIllustration(int stage) { return stage == 2; }

std::string StepInstructionsText(int stage)
{
    if (stage == 1) return Compose(Page1(), 1);
    if (stage == 2) {
        // Ten empty lines keep the text below the illustration.
        std::string text;
        for (int i = 0; i < 10; ++i) text += kBreak;
        return text + Compose(Page2(), 5);
    }
    return {};
}

}  // namespace pelora
