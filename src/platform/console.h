// The console the ringer sees: a text window with 1-based coordinates, colours,
// clearing, cursor placement, key polling and reading, line input with echo and
// millisecond delays.
//
// The operating system is reached only through RawConsole (so it can be faked in
// tests); everything that the program relies on above it (the window model, the
// text output rules, two-part keys, single-key answers and line editing) is
// written once, in Console.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace strikewell {

// One key as the backend decoded it. A key with a character is a one-part key
// (extended false, code = the character). A key without one (arrows, navigation,
// function keys) is a two-part key: it reads as 0 followed by code, the IBM PC
// keyboard BIOS's extended code (Left 75, Right 77, ...).
struct KeyEvent {
  uint8_t code = 0;
  bool extended = false;
};

// Thrown when console input has ended (end of file) or failed for good, so that the
// run can end cleanly instead of spinning on a dead input.
class ConsoleInputEnded : public std::runtime_error {
 public:
  ConsoleInputEnded() : std::runtime_error("console input ended") {}
};

class RawConsole {
 public:
  virtual ~RawConsole() = default;

  // The window: columns 1..Width(), rows 1..Height(), as they were at start or at
  // the last TakeResize() that answered true.
  virtual int Width() = 0;
  virtual int Height() = 0;
  // True when the window's size has changed since start or the last call; Width()
  // and Height() then answer the new size.
  virtual bool TakeResize() = 0;
  // The attribute the console had at start (bits 0-3 foreground, 4-6 background,
  // 7 blink).
  virtual uint8_t InitialAttr() = 0;

  // Draws text into the cells from (x, y) rightwards, all in attr. The caller never
  // passes text that runs past the right edge.
  virtual void WriteCells(int x, int y, std::string_view text, uint8_t attr) = 0;
  // Fills every cell of the window with a blank in attr.
  virtual void FillWindow(uint8_t attr) = 0;
  // Moves the window's contents up one row; the new bottom row is blank in attr.
  virtual void ScrollUp(uint8_t attr) = 0;
  virtual void SetCursor(int x, int y) = 0;
  // Sends what has been drawn since the last flush (a terminal writes it in one go).
  virtual void Flush() = 0;

  // Never waits: the next decoded key, or nothing when none is waiting.
  virtual std::optional<KeyEvent> PollKey() = 0;
  // True once input has ended or failed and no key is left to deliver.
  virtual bool InputEnded() = 0;
  // True when the window closes as soon as the program ends (a Windows console that
  // no other program shares, as when the program was started from Explorer):
  // anything left to read must then wait for the ringer. A terminal stays.
  virtual bool WindowClosesAtExit() { return false; }
};

class Console {
 public:
  static constexpr int kMaxLineLength = 254;

  Console(RawConsole& raw, Clock& clock);

  // Colour numbers are the console's 16-colour palette (1 blue, 14 yellow, ...).
  void TextColor(uint8_t colour);
  void TextBackground(uint8_t colour);
  uint8_t TextAttr() const { return text_attr_; }

  void ClrScr();
  // Ignored, without a message, when (x, y) lies outside the window.
  void GotoXY(int x, int y);
  int WhereX() const { return cursor_x_; }
  int WhereY() const { return cursor_y_; }
  int WindowWidth() const { return width_; }
  int WindowHeight() const { return height_; }
  // Takes a change of the window's size: true when there was one. The caller
  // redraws; the cursor is kept inside the new window.
  bool TakeResize();

  // Text output: 7 does nothing, 8/10/13 move the cursor, anything else is drawn;
  // wraps at the right edge and scrolls at the bottom.
  void Write(std::string_view text);
  // Write followed by carriage return and line feed.
  void WriteLn(std::string_view text = {});
  // Sends pending output; every wait (keys, lines, delays) does this first.
  void Flush();

  // Never waits. Once input has ended and no key is waiting, this and every read
  // that would wait for a key throw ConsoleInputEnded.
  bool KeyPressed();
  // Waits for a key, polling every millisecond. A two-part key reads as 0, then its
  // code.
  uint8_t ReadKey();
  // A delay of 0 does not sleep at all.
  void Delay(uint16_t ms);

  // A single-key answer: ReadKey, upper-cased (a-z only). A two-part key answers 0
  // and its second half is discarded, so it cannot act later by itself.
  uint8_t ReadAnswerKey();
  // One edited, echoed line without its line end. Every answer below reads whole
  // new lines: nothing of a line is left over for the next read.
  std::string ReadLine();
  // ReadLine with offered already typed, for the ringer to edit or take with Enter.
  std::string ReadLine(std::string_view offered);
  // A line whose characters are never shown, not even as stars (a password): only
  // Backspace and Escape edit it; Enter moves to the next row.
  std::string ReadHiddenLine();
  // Reads a line and throws it away: only Enter matters.
  void ReadBareLine();
  // Skips blanks, control characters and empty lines; takes the next run of
  // characters above blank and discards the rest of its line. The run as typed
  // (so a caller can convert it and report what was wrong).
  std::string ReadWordSkippingEmptyLines();

  Clock& clock() { return clock_; }
  bool WindowClosesAtExit() { return raw_.WindowClosesAtExit(); }

 private:
  // Draws ch in the cell under the cursor, whatever its code, and moves on.
  void DrawChar(char ch);
  // After every character: wrap at the right edge, scroll at the bottom.
  void WrapAndScroll();
  // Writes the collected run of characters of the current row in one call.
  void FlushRun();
  void MoveCursor(int x, int y);

  // Line input. A typed line may wrap over several rows and scroll the window, so
  // the position of its characters is worked out from where it started.
  struct LineOrigin {
    int x;
    int y;
    int64_t scrolls;
  };
  std::string ReadEditedLine(std::string_view offered);
  // The window cell of character index i of the line being edited.
  void LineCell(const LineOrigin& origin, size_t i, int& x, int& y) const;
  void MoveToLineIndex(const LineOrigin& origin, size_t i);
  void EraseLastLineChar(const LineOrigin& origin, std::string& line, size_t& pos);
  // ReadKey that also says whether a 0 was the first half of a two-part key.
  uint8_t ReadKeyPart(bool& first_half);

  RawConsole& raw_;
  Clock& clock_;
  int width_;
  int height_;
  uint8_t text_attr_;
  int cursor_x_ = 1;
  int cursor_y_ = 1;
  bool dirty_ = false;
  // The characters of the current write not yet handed to the raw console.
  std::string run_;
  int run_x_ = 1;
  int run_y_ = 1;
  int64_t scrolls_ = 0;
  std::optional<uint8_t> waiting_key_;
  // The next ReadKey returns 0, the first half of the two-part key in waiting_key_.
  bool pending_second_half_ = false;
  // The 0 has been returned; waiting_key_ is the second half.
  bool second_half_waiting_ = false;
};

}  // namespace strikewell
