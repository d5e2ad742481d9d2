#pragma once

namespace qm {

// Form1's layout in twips (1/1440 inch), turned into pixels at the window's DPI.
struct TwipsRect {
  int left, top, width, height;
};

inline constexpr int kClientWidthTwips = 4560;
inline constexpr int kClientHeightTwips = 6225;
// One column, centred in the client width: (4560 - 1215) / 2, rounded.
inline constexpr TwipsRect kResetTwips{1673, 1200, 1215, 495};
inline constexpr TwipsRect kPortBoxTwips{1673, 840, 1215, 285};
inline constexpr TwipsRect kLabelTwips{1673, 480, 1215, 255};

// Whole pixels, rounded down: 4560 x 6225 twips are 304 x 415 px at 96 dpi, 456 x 622 at 144.
constexpr int TwipsToPixels(int twips, unsigned dpi) {
  return static_cast<int>(static_cast<long long>(twips) * dpi / 1440);
}

}  // namespace qm
