// Every setting of the module's two entries, declared once: its names in
// run_gsea and run_gsea_py, its default, its conversion, its bounds and its
// documentation. The keyword lists, the defaults of Settings, the checks,
// the doc strings and rsvelmopy.PARAMETERS are all built from this table.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "multilevel.hpp"  // kSettledAt

namespace rsvelmopy {

// The largest multilevel sample run_gsea takes: ten thousand times the
// default; its estimators keep two copies of the sample, each set a bitmap
// of the ranking, so at 20,000 genes it needs about 16 GiB already.
inline constexpr std::uint64_t kMaxSampleSize = std::uint64_t{1} << 20;

// The settings of both entries. Each instance starts with the table's
// defaults; the arguments overwrite what the caller gave.
struct Settings {
    std::vector<std::string> genes;  // the ranking, in the caller's order
    std::vector<double> scores;
    std::string mode;
    std::optional<std::uint64_t> nperm;
    std::uint64_t nperm_simple;
    std::uint64_t seed;
    std::uint64_t threads;
    std::uint64_t min_size;
    std::optional<std::uint64_t> max_size;
    double eps;
    std::string score_type;
    double gsea_param;
    std::uint64_t sample_size;
    PyObject* progress;  // borrowed from the arguments; NULL: no callback
    bool refine_all;
    bool diagnostics;
    std::optional<double> stable_calls;   // the padj cut whose calls to settle
    std::optional<double> flip_risk_cut;  // the padj cut of each row's flip risk
    bool gpu;

    Settings();
};

enum class Kind : std::uint8_t { Count, OptionalCount, Real, OptionalReal, Text, Flag, Callback };

constexpr double kNoBound = std::numeric_limits<double>::infinity();

struct Parameter {
    const char* name;                 // run_gsea's keyword
    const char* reference = nullptr;  // run_gsea_py's keyword; NULL: not one of its parameters
    bool package = true;              // whether run_gsea takes it
    Kind kind = Kind::Count;
    const char* default_value = "";  // as Python writes it, strings without quotes
    double lower = -kNoBound;        // the one lower bound, the same in every check
    bool lower_open = false;         // whether the lower bound itself is refused
    double upper = kNoBound;
    const char* noun = nullptr;  // what a value is, for messages: "a padj cut"
    // run_gsea_py's documented behaviour where it differs from the bounds:
    // it takes every unsigned 64-bit count and every real (the analysis
    // brings them into range) and refuses only what reference_below says.
    const char* reference_rule = nullptr;
    double reference_below = 0.0;             // run_gsea_py refuses a count below this ...
    const char* reference_message = nullptr;  // ... with this ValueError
    const char* doc_type = "";
    const char* doc = "";  // "{bounds}" becomes the bounds, "{settled}" rsvelmo::kSettledAt
    const char* stub_type = "";
    std::uint64_t Settings::*count = nullptr;
    std::optional<std::uint64_t> Settings::*optional_count = nullptr;
    double Settings::*real = nullptr;
    std::optional<double> Settings::*optional_real = nullptr;
    std::string Settings::*text = nullptr;
    bool Settings::*flag = nullptr;
    PyObject* Settings::*callback = nullptr;
};

// The table, in run_gsea's keyword order.
std::span<const Parameter> parameters();

// run_gsea_py's parameters after ranks and gmt_path, in its positional order.
const std::vector<const Parameter*>& reference_parameters();

// "at least 1", "in [0, 1]", "finite, at least 0", ...; empty when unbounded.
std::string bounds_text(const Parameter& p);

// The ValueError message for a value outside p's bounds, or nothing.
std::optional<std::string> bounds_problem(const Parameter& p, const Settings& s);

// The doc entry of p ("name : type\n    doc\n").
std::string doc_entry(const Parameter& p);

// A text signature's "name=default" for p, quoting strings with `quote`.
std::string signature_item(const char* name, const Parameter& p, char quote);

// rsvelmopy.PARAMETERS: a read-only mapping name -> read-only mapping of
// default, lower, upper, lower_inclusive, reference, reference_rule, doc.
PyObject* build_parameter_table();

}  // namespace rsvelmopy
