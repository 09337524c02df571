// The console device's window on a terminal as two pictures: the window as the device has
// written it, and what the terminal shows of it as far as the device knows. A send needs only
// the cells where the two differ; this unit finds them, row by row, and keeps both pictures in
// step when the window scrolls. Cells the device never wrote are unknown in both and never
// differ. It owns no terminal: console_platform.cpp spells the changes for one.
#pragma once

#include <cstdint>

class ScreenPicture {
 public:
  /// Window coordinates are 8-bit.
  static constexpr int32_t Largest = 255;
  /// A cell of which nothing is known.
  static constexpr uint16_t Unknown = 0x100;

  /// A window of width x height cells (each at most Largest), all unknown.
  void Reset(int32_t width, int32_t height);
  /// The device wrote ch at x, y (0-based).
  void Put(int32_t x, int32_t y, uint8_t ch);
  /// The rows move up by one in both pictures, as the terminal's do when it scrolls; the top
  /// row is gone and the last one comes in unknown.
  void Scroll();

  /// Some cell waits to be sent.
  bool Changed() const { return changedRows_ > 0; }
  /// The first row from y on with a cell to send, or -1.
  int32_t NextChangedRow(int32_t y) const;
  /// The first column from x on of row y whose cell is to be sent, or -1.
  int32_t NextChange(int32_t x, int32_t y) const;
  /// The cell as the device has it, and as the terminal shows it; either may be Unknown.
  uint16_t Wanted(int32_t x, int32_t y) const { return wanted_[Row(y)][x]; }
  uint16_t Shown(int32_t x, int32_t y) const { return shown_[Row(y)][x]; }
  /// The terminal now shows every cell of row y as the device has it.
  void RowSent(int32_t y);
  /// What the terminal shows of row y is no longer known: every cell the device wrote there
  /// is to be sent again.
  void ForgetShownRow(int32_t y);

 private:
  int32_t Row(int32_t y) const {
    const int32_t row = top_ + y;
    return row < height_ ? row : row - height_;
  }
  void MarkChanged(int32_t row, int32_t from, int32_t to);
  void ClearRow(int32_t row);

  int32_t width_ = 1;
  int32_t height_ = 1;
  /// The storage row of the window's top row: a scroll moves it instead of the cells.
  int32_t top_ = 0;
  uint16_t wanted_[Largest][Largest];
  uint16_t shown_[Largest][Largest];
  /// Per storage row, the columns [from, to) that may hold a cell to send; empty if from >= to.
  int16_t changedFrom_[Largest];
  int16_t changedTo_[Largest];
  int32_t changedRows_ = 0;  ///< storage rows whose range is not empty
};
