#include "StepInstructions.h"

#include "platform/TextSource.h"

#include <algorithm>
#include <vector>

namespace pelora {

namespace {

constexpr const char* kBreak = "\r\n";

// One row of a page: numbered rows get the running item number in front.
struct PageRow {
    bool numbered;
    std::string text;
    int lineBreaks;
};
using Page = std::vector<PageRow>;

const Page& Page1()
{
    static const Page rows = {
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

const Page& Page2()
{
    static const Page rows = {
        {true, ". DC is now in Deep Sleep mode. Do not unclip the interface cable from the DC.", 2},
        {true, ". Activate the DC by depressing and holding both the Advance (A) and Select (S) buttons until the PC "
               "screen appears with a 120 second countdown (about 8 seconds).", 1},
        {false, "   a) If the PC screen does not appear, unclip the interface cable from the DC for 5 seconds, then clip it ", 1},
        {false, "   back on.", 2},
        {false, ">>> Click on Next button to continue...>>>", 0},
    };
    return rows;
}

// A translated page row: the text's identifier in place of the text.
struct TextRow {
    bool numbered;
    int id;
    int lineBreaks;
};

// The same steps in the language's own words: the cable, the watch mode, clipping on with the
// PC screen and what to do when it does not appear; then keeping the cable on and waking the
// device, with what to do when it does not wake.
constexpr TextRow kTextPage1[] = {{true, 640, 2},  {true, 654, 2},  {true, 804, 1},
                                  {false, 805, 1}, {false, 806, 1}, {false, 807, 2}};
constexpr TextRow kTextPage2[] = {{true, 808, 2}, {true, 809, 1}, {false, 1054, 2}};
constexpr int kNextText = 813;

template <std::size_t N>
Page Translated(const TextRow (&rows)[N], const TextSource& texts)
{
    Page page;
    for (const TextRow& row : rows)
        page.push_back({row.numbered, (row.numbered ? ". " : "") + texts.GetText(row.id), row.lineBreaks});
    page.push_back({false, ">>> " + texts.GetText(kNextText) + " >>>", 0});
    return page;
}

int NumberedRows(const Page& page)
{
    return static_cast<int>(std::count_if(page.begin(), page.end(), [](const PageRow& row) { return row.numbered; }));
}

std::string Compose(const Page& rows, int firstNumber)
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

std::string StepInstructionsText(int stage, const TextSource* translated)
{
    const Page page1 = translated ? Translated(kTextPage1, *translated) : Page1();
    if (stage == 1) return Compose(page1, 1);
    if (stage == 2) {
        // Ten empty lines keep the text below the illustration.
        std::string text;
        for (int i = 0; i < 10; ++i) text += kBreak;
        return text + Compose(translated ? Translated(kTextPage2, *translated) : Page2(), NumberedRows(page1) + 1);
    }
    return {};
}

}  // namespace pelora
