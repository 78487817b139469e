// Checks the by-position reading of simulation fields against a plain
// statement of the layout: for widths 11 to 15 and lines of 1 to 10 fields,
// every line in the layout is recognised whole (when it has sixteen bytes or
// more) and field by field, and every line with any one byte changed to any
// ASCII byte is recognised exactly when the change keeps it in the layout.
// Values are compared with what the double shortcut gives for the same digits.
// Prints the number of mismatches.
#include <cstdio>
#include <random>
#include <string>

#include "text/e_field.cpp"

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Whether byte i of a field of the given width may hold c.
bool allowed(std::size_t width, std::size_t i, char c) {
  if (i == 0) return c == ' ' || c == '+' || c == '-';
  if (i == 2) return c == '.';
  if (i == width - 4) return c == 'E' || c == 'e';
  if (i == width - 3) return c == '+' || c == '-';
  return is_digit(c);
}

bool in_layout(const std::string& line, std::size_t width) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (!allowed(width, i % width, line[i])) return false;
  }
  return true;
}

// The value the field should have, straight from its parts.
bool expected_value(const char* field, std::size_t width, float& value) {
  const std::size_t fraction = width - 7;
  std::uint64_t w = static_cast<std::uint64_t>(field[1] - '0');
  for (std::size_t i = 0; i < fraction; ++i)
    w = w * 10 + static_cast<std::uint64_t>(field[3 + i] - '0');
  std::int64_t e = (field[width - 2] - '0') * 10 + (field[width - 1] - '0');
  if (field[width - 3] == '-') e = -e;
  if (!tolvik::fast_decimal_to_float(w, e - static_cast<std::int64_t>(fraction), value))
    return false;
  if (field[0] == '-') value = -value;
  return true;
}

std::string random_field(std::mt19937& random, std::size_t width) {
  const char* const signs = " +-";
  std::string field(width, '0');
  for (char& c : field) c = static_cast<char>('0' + random() % 10);
  field[0] = signs[random() % 3];
  field[2] = '.';
  field[width - 4] = random() % 2 ? 'E' : 'e';
  field[width - 3] = random() % 2 ? '+' : '-';
  return field;
}

}  // namespace

int main() {
  std::mt19937 random(20261207);
  long mismatches = 0;
  long checks = 0;
  for (std::size_t width = 11; width <= 15; ++width) {
    const tolvik::EFieldLayout layout(width);
    for (std::size_t count = 1; count <= 10; ++count) {
      std::string line;
      for (std::size_t k = 0; k < count; ++k) line += random_field(random, width);
      const bool whole = count * width >= 16;
      for (std::size_t i = 0; i < line.size(); ++i) {
        const char original = line[i];
        for (int c = 0; c < 128; ++c) {
          line[i] = static_cast<char>(c);
          const bool valid = in_layout(line, width);
          ++checks;
          if (layout.line_matches(line.data(), count) != (valid && whole)) ++mismatches;
          const char* field = line.data() + (i / width) * width;
          float got = 0, want = 0;
          const bool parsed = layout.parse(field, got);
          const bool field_valid = in_layout(std::string(field, width), width);
          const bool fast = field_valid && expected_value(field, width, want);
          if (parsed != fast || (parsed && got != want)) ++mismatches;
        }
        line[i] = original;
      }
      for (std::size_t k = 0; k < count; ++k) {
        const char* field = line.data() + k * width;
        float got = 0, want = 0;
        const bool fast = expected_value(field, width, want);
        if (layout.shaped_value(field, got) != fast || (fast && got != want)) ++mismatches;
      }
    }
  }
  // Other widths have no layout.
  for (std::size_t width : {0, 1, 10, 16, 40}) {
    const tolvik::EFieldLayout layout(width);
    const std::string line(64, '1');
    float value;
    if (layout.line_matches(line.data(), 1) || layout.parse(line.data(), value)) ++mismatches;
  }
  std::printf("%ld mismatches in %ld checks\n", mismatches, checks);
  return mismatches == 0 ? 0 : 1;
}
