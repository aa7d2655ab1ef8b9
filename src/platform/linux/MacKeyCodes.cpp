#include "platform/linux/MacKeyCodes.h"

#include <utility>

namespace dravelin::nix {

namespace {

// (virtual key code, evdev code). Virtual codes follow the ANSI/ISO/JIS key
// table that bindings are stored in; evdev codes come from linux/input-event-codes.h.
// Command maps to Control and Control to Super, as everywhere on Linux; Help
// maps to Insert, which sits in its place on PC keyboards.
constexpr std::pair<quint16, int> kKeys[] = {
    {0, 30},    {1, 31},    {2, 32},   {3, 33},    {4, 35},    {5, 34},    {6, 44},    {7, 45},    {8, 46},
    {9, 47},    {10, 86},   {11, 48},  {12, 16},   {13, 17},   {14, 18},   {15, 19},   {16, 21},   {17, 20},
    {18, 2},    {19, 3},    {20, 4},   {21, 5},    {22, 7},    {23, 6},    {24, 13},   {25, 10},   {26, 8},
    {27, 12},   {28, 9},    {29, 11},  {30, 27},   {31, 24},   {32, 22},   {33, 26},   {34, 23},   {35, 25},
    {36, 28},   {37, 38},   {38, 36},  {39, 40},   {40, 37},   {41, 39},   {42, 43},   {43, 51},   {44, 53},
    {45, 49},   {46, 50},   {47, 52},  {48, 15},   {49, 57},   {50, 41},   {51, 14},   {53, 1},    {54, 97},
    {55, 29},   {56, 42},   {57, 58},  {58, 56},   {59, 125},  {60, 54},   {61, 100},  {62, 126},  {64, 187},
    {65, 83},   {67, 55},   {69, 78},  {71, 69},   {72, 115},  {73, 114},  {74, 113},  {75, 98},   {76, 96},
    {78, 74},   {79, 188},  {80, 189}, {81, 117},  {82, 82},   {83, 79},   {84, 80},   {85, 81},   {86, 75},
    {87, 76},   {88, 77},   {89, 71},  {91, 72},   {92, 73},   {93, 124},  {94, 89},   {95, 121},  {96, 63},
    {97, 64},   {98, 65},   {99, 61},  {100, 66},  {101, 67},  {102, 85},  {103, 87},  {104, 90},  {105, 183},
    {106, 186}, {107, 184}, {109, 68}, {111, 88},  {113, 185}, {114, 110}, {115, 102}, {116, 104}, {117, 111},
    {118, 62},  {119, 107}, {120, 60}, {121, 109}, {122, 59},  {123, 105}, {124, 106}, {125, 108}, {126, 103},
};

} // namespace

std::optional<int> evdevFromVirtualKey(quint16 keyCode)
{
    for (const auto &[vk, evdev] : kKeys) {
        if (vk == keyCode)
            return evdev;
    }
    return std::nullopt;
}

std::optional<quint16> virtualKeyFromEvdev(int evdevCode)
{
    for (const auto &[vk, evdev] : kKeys) {
        if (evdev == evdevCode)
            return vk;
    }
    return std::nullopt;
}

bool isKeypadVirtualKey(quint16 keyCode)
{
    switch (keyCode) {
    case 65:
    case 67:
    case 69:
    case 71:
    case 75:
    case 76:
    case 78:
    case 81:
    case 82:
    case 83:
    case 84:
    case 85:
    case 86:
    case 87:
    case 88:
    case 89:
    case 91:
    case 92:
        return true;
    default:
        return false;
    }
}

} // namespace dravelin::nix
