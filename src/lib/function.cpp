#include "lib/function.h"

#include "binding/entry.h"

namespace tolvik {
namespace {

constexpr const char kDoc[] =
    "rust_read_tarvelo(file_path, n_digits)\n"
    "--\n"
    "\n"
    "# Reads in the tarvelo file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## TARVELO plot file shape\n"
    "The TARVELO data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the TARVELO plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n";

static_assert(sizeof kDoc - 1 == 616);

}  // namespace

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC. The interpreter takes the
// calling convention from the first two; the entry does not use its self.
PyMethodDef RUST_READ_TARVELO_DEF = {
    "rust_read_tarvelo",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_cfunction_with_keywords)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    kDoc,
};

}  // namespace tolvik
