// Checks the by-position reading of simulation fields against a plain
// statement of the layout: for widths 11 to 15 and lines of 1 to 10 fields,
// every line in the layout is recognised whole (when it has sixteen bytes or
// more) and field by field, and every line with any one byte changed to any
// byte value is recognised exactly when the change keeps it in the layout.
// Values are compared with what the parser gives for the field's text.
// Prints the number of mismatches.
#include <bit>
#include <cstdio>
#include <random>
#include <string>

#include "text/e_field.cpp"
#include "text/parse_float.cpp"

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

// The value the parser gives for the field's text (the field without a
// leading blank).
float expected_value(const char* field, std::size_t width) {
  std::string text(field, width);
  if (text[0] == ' ') text.erase(0, 1);
  float value = 0;
  tolvik::ParseFloatError error;
  tolvik::parse_float32(text, value, error);
  return value;
}

bool same(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
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
        for (int c = 0; c < 256; ++c) {
          line[i] = static_cast<char>(c);
          const bool valid = in_layout(line, width);
          ++checks;
          if (layout.line_matches(line.data(), count) != (valid && whole)) ++mismatches;
          const char* field = line.data() + (i / width) * width;
          float got = 0;
          const bool parsed = layout.parse(field, got);
          const bool field_valid = in_layout(std::string(field, width), width);
          if (parsed != field_valid || (parsed && !same(got, expected_value(field, width)))) {
            ++mismatches;
          }
        }
        line[i] = original;
      }
      for (std::size_t k = 0; k < count; ++k) {
        const char* field = line.data() + k * width;
        float got = 0;
        if (!layout.shaped_value(field, got) || !same(got, expected_value(field, width))) {
          ++mismatches;
        }
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
