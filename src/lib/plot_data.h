// The numbers of a plot file: parameter 0 (the time) of every block, and for
// every other parameter p, its values over all blocks in columns[p - 1].
#pragma once

#include <vector>

#include "text/growable.h"

namespace tolvik {

using FloatSequence = Growable<float>;

struct PlotData {
  FloatSequence times;
  std::vector<FloatSequence> columns;  // each as long as times
};

}  // namespace tolvik
