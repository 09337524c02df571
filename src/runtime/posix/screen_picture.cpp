#include "runtime/posix/screen_picture.h"

void ScreenPicture::Reset(int32_t width, int32_t height) {
  width_ = width;
  height_ = height;
  top_ = 0;
  for (int32_t row = 0; row < height_; ++row) ClearRow(row);
  changedRows_ = 0;
}

void ScreenPicture::Put(int32_t x, int32_t y, uint8_t ch) {
  const int32_t row = Row(y);
  wanted_[row][x] = ch;
  if (shown_[row][x] != ch) MarkChanged(row, x, x + 1);
}

void ScreenPicture::Scroll() {
  ClearRow(top_);
  top_ = Row(1);
}

int32_t ScreenPicture::NextChangedRow(int32_t y) const {
  if (changedRows_ == 0) return -1;
  for (; y < height_; ++y) {
    if (changedFrom_[Row(y)] < changedTo_[Row(y)]) return y;
  }
  return -1;
}

int32_t ScreenPicture::NextChange(int32_t x, int32_t y) const {
  const int32_t row = Row(y);
  if (x < changedFrom_[row]) x = changedFrom_[row];
  for (; x < changedTo_[row]; ++x) {
    if (wanted_[row][x] != Unknown && wanted_[row][x] != shown_[row][x]) return x;
  }
  return -1;
}

void ScreenPicture::RowSent(int32_t y) {
  const int32_t row = Row(y);
  if (changedFrom_[row] >= changedTo_[row]) return;
  for (int32_t x = changedFrom_[row]; x < changedTo_[row]; ++x) shown_[row][x] = wanted_[row][x];
  changedFrom_[row] = changedTo_[row] = 0;
  --changedRows_;
}

void ScreenPicture::ForgetShownRow(int32_t y) {
  const int32_t row = Row(y);
  for (int32_t x = 0; x < width_; ++x) shown_[row][x] = Unknown;
  MarkChanged(row, 0, width_);
}

void ScreenPicture::MarkChanged(int32_t row, int32_t from, int32_t to) {
  if (changedFrom_[row] >= changedTo_[row]) {
    ++changedRows_;
    changedFrom_[row] = static_cast<int16_t>(from);
    changedTo_[row] = static_cast<int16_t>(to);
    return;
  }
  if (from < changedFrom_[row]) changedFrom_[row] = static_cast<int16_t>(from);
  if (to > changedTo_[row]) changedTo_[row] = static_cast<int16_t>(to);
}

void ScreenPicture::ClearRow(int32_t row) {
  for (int32_t x = 0; x < width_; ++x) wanted_[row][x] = shown_[row][x] = Unknown;
  if (changedFrom_[row] < changedTo_[row]) --changedRows_;
  changedFrom_[row] = changedTo_[row] = 0;
}
