#include "api/target_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "common/format.h"
#include "util/error.h"

namespace kelvane::detail {

namespace {

using Kind = Target::Kind;

// Where the search aims inside the accepted band: near its middle, so that a
// trial landing a little off either way is still accepted.
constexpr double kSizeAim = 0.985;
constexpr double kPsnrAim = 0.06;
// The searched function's slope per unit of ln q (ln bytes, or dB), assumed
// until two trials measure one (for a size it flattens as the rate grows),
// and the range a measured one must lie in to be believed.
constexpr double kSizeSlopeAtOneBit = -0.85;
constexpr double kSizeSlopePerLnBit = 0.25;
constexpr double kPsnrSlope = -5.5;
constexpr double kSlopeBelief[2][2] = {{-4.0, -0.15}, {-25.0, -1.0}};  // size, PSNR
// The largest move in ln q that one extrapolation takes.
constexpr double kMaxStride = 2.5;
// A candidate within this distance (ln q) of a step edge inside the bracket,
// or any candidate of a bracket narrower than kSnapWidth, moves onto the edge.
constexpr double kSnapRadius = 0.05;
constexpr double kSnapWidth = 0.1;
// A bracket narrower than this (ln q) without an edge inside ends the search:
// the size and PSNR also move in small steps of their own between edges.
constexpr double kNarrow = 0.01;
constexpr int kStallTrials = 3;
// The tuning's trials after the value's search (EncodeTuning, enc/encode.h),
// on a setting t in [0, 1]: the default mode's fill t, or the
// rate-distortion mode's lambda scale e^(-kLambdaRange t).
constexpr int kTuneEncodes = 5;
constexpr double kLambdaRange = 6.0;
// The rate-distortion mode's assumed change of the searched function per
// unit of t (ln bytes, or dB) until two trials measure one.
constexpr double kLambdaSlope[2] = {1.0, 10.0};  // size, PSNR
// The default mode's PSNR rises with the fill about as t^kFillPower of the
// way to kFillReach of the finer value's (the size about linearly); filled
// with the coarser value's, the finer stream's size and PSNR fall about
// linearly, kFillBackReach of the way at t = 1.
constexpr double kFillPower = 1.4;
constexpr double kFillReach = 0.85;
constexpr double kFillBackReach = 1.4;

// At 2^63 every entry of the table is above 2^31 (entry 63 is 2^31.5), so
// every coefficient quantises to zero: no coarser stream exists, and every
// larger value codes the same planes.
constexpr float kCoarsest = 9.223372036854775808e18f;

// Step edges: last[k] is the largest value whose table entry k is still 1.0.
// The float after it makes entry k a step a hair above 1.0, which moves every
// coefficient of its bands by one: size and PSNR drop there at once, and stay
// nearly level up to the next edge.
struct Edges {
  float last[64] = {};
  Edges() {
    float table[64];
    for (int k = 1; k < 64; ++k) {
      // Entry k is 1.0 at lo and above 1.0 at hi; positive floats order as
      // their bit patterns.
      uint32_t lo = std::bit_cast<uint32_t>(1.0f), hi = std::bit_cast<uint32_t>(kCoarsest);
      while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        kv::build_quantizer_table(std::bit_cast<float>(mid), table);
        (table[k] > 1.0f ? hi : lo) = mid;
      }
      last[k] = std::bit_cast<float>(lo);
    }
  }
};

const Edges& edges() {
  static const Edges table;
  return table;
}

float next_up(float q) { return std::nextafter(q, std::numeric_limits<float>::infinity()); }

struct Point {
  float q = 0;
  double x = 0;  // ln q, or the tuning's t
  bool tuned = false;
  uint64_t bytes = 0;
  double psnr = 0;
  double g = 0;  // the searched function: ln bytes, or PSNR
  bool feasible = false;
};

class Search {
 public:
  Search(const Image& image, const EncodeOptions& options) : image_(image), options_(options) {
    const Target& target = options.target;
    size_ = target.kind != Kind::kPsnr;
    pixels_ = static_cast<double>(image.width) * static_cast<double>(image.height);
    if (std::isnan(target.value)) kv::fail(ErrorCode::kTargetUnreachable, "The target is not a number.");
    if (size_) {
      const double bytes = target.kind == Kind::kBytes ? target.value : target.value * pixels_ / 8.0;
      // The largest whole number of bytes within the target, told by the
      // same sum that reports bits per pixel.
      budget_ = bytes <= 0 ? 0 : bytes >= 0x1p62 ? uint64_t{1} << 62 : static_cast<uint64_t>(bytes);
      if (target.kind == Kind::kBitsPerPixel) {
        while (budget_ > 0 && bits_per_pixel(budget_) > target.value) --budget_;
        while (budget_ < (uint64_t{1} << 62) && bits_per_pixel(budget_ + 1) <= target.value) ++budget_;
      }
      goal_ = std::log(kSizeAim * static_cast<double>(std::max<uint64_t>(budget_, 1)));
    } else {
      goal_ = target.value + kPsnrAim;
    }
    // Without the rate-distortion mode every value up to edge 1 codes the
    // lossless planes; with it, every value above 1 is lossy.
    finest_ = options.rate_distortion ? next_up(1.0f) : next_up(edges().last[1]);
    need_report_ = options.report != nullptr || !size_;
  }

  std::vector<uint8_t> run() {
    if (!size_ && options_.target.value == std::numeric_limits<double>::infinity()) {
      trial(1.0f, true);
      return finish();
    }
    trial(first_guess(), false);
    float next = 0;
    while (!met() && encodes_ < kMaxEncodes - kTuneEncodes - 1 && choose(next)) {
      // Past the finest lossy value a PSNR target takes the lossless stream,
      // whatever its PSNR; a size target tries it like any other value.
      if (!size_ && next == 1.0f) {
        trial(1.0f, true);
        return finish();
      }
      trial(next, false);
    }
    if (!met()) tune();
    if (!have_best_) {
      if (size_) {
        if (!tried(kCoarsest)) trial(kCoarsest, false);
        if (!have_best_) unreachable();
      } else {
        trial(1.0f, true);
      }
    }
    return finish();
  }

 private:
  double bits_per_pixel(uint64_t bytes) const { return 8.0 * static_cast<double>(bytes) / pixels_; }

  // A first value from the target alone, fitted to photographs; the trials
  // correct it.
  float first_guess() const {
    double x;
    if (size_) {
      const double b = std::log(std::max(bits_per_pixel(budget_), 1e-6));
      x = std::log(52.0) - 1.05 * b - 0.1 * b * b;
    } else {
      x = std::log(21.0) - 0.2 * (options_.target.value - 40.0);
    }
    return to_value(x);
  }

  // The float nearest e^x inside [finest_, kCoarsest].
  float to_value(double x) const {
    const double q = std::exp(std::clamp(x, 0.0, 44.0));
    return std::clamp(static_cast<float>(q), finest_, kCoarsest);
  }

  bool tried(float q) const {
    return std::any_of(points_.begin(), points_.end(), [q](const Point& p) { return p.q == q; });
  }

  // The tuning at t from one end of a bracket towards the other end's value
  // `other`: the rate-distortion mode's lambda scale (below 1 towards a
  // finer value, above 1 towards a coarser one), or the default mode's fill
  // with other's table.
  kv::EncodeTuning tuning_at(double t, float coded, float other) const {
    kv::EncodeTuning tuning;
    if (options_.rate_distortion)
      tuning.lambda_scale = std::exp((other < coded ? -kLambdaRange : kLambdaRange) * t);
    else
      tuning.fill = t, tuning.fill_q = other;
    return tuning;
  }

  // After the value's search ends with a bracket it cannot narrow (the two
  // sides of a step edge, the lossless gap, or small steps of their own):
  // the tuning at the coarser end, which moves its stream towards the finer
  // end's, at most kTuneEncodes trials. That may end short of the band: the
  // default mode's fill may stall (with the directions chosen for the
  // coarser steps a PSNR may even fall as the fill grows), the
  // rate-distortion mode's lambda may jump across it. Then the finer end's
  // stream is tuned back towards the coarser end's (a fill of the coarser
  // end's values, which moves it steadily, or a lambda above 1), with the
  // encodes left.
  void tune() {
    const auto [f, i] = bracket();
    if (!f || !i) return;
    const Point coarse = f->q > i->q ? *f : *i, fine = f->q > i->q ? *i : *f;
    if (!(coarse.q > 1.0f)) return;
    tune_from(coarse, fine, encodes_ + kTuneEncodes);
    if (!met() && fine.q > 1.0f) tune_from(fine, coarse, kMaxEncodes);
  }

  // Trials of the tuning at `start`'s value towards `far`'s (the default
  // mode's fill with far's table) until the goal is met or `last_encode`
  // encodes have run. Regula falsi on t between trials on both sides of the
  // goal (t = 0 being start's own trial). Until a trial lands past the goal,
  // the default mode's first trial follows a curve from t = 0 towards far's
  // figure, and the other trials go a little past the goal along the slope
  // of the last two (the rate-distortion mode's first, along an assumed
  // one). A trial that did not move towards far's figure ends the default
  // mode's fill from the coarser end (the finer end's tuning follows), and
  // otherwise doubles t.
  void tune_from(const Point& start, const Point& far, int last_encode) {
    const bool rdo = options_.rate_distortion;
    const bool forward = far.q < start.q;
    // The direction in which g moves as t grows; `low` short of the goal,
    // `high` past it.
    const double sign = far.g > start.g ? 1.0 : -1.0;
    auto short_of_goal = [&](const Point& p) { return sign * (p.g - goal_) < 0; };
    std::vector<Point> tried{start};
    tried.back().x = 0;
    int low_stays = 0, high_stays = 0;
    double last_low = -1, last_high = -1;
    while (encodes_ < last_encode && !met()) {
      const Point* low = nullptr;
      const Point* high = nullptr;
      for (const Point& p : tried) {
        if (short_of_goal(p) && (!low || p.x > low->x)) low = &p;
        if (!short_of_goal(p) && (!high || p.x < high->x)) high = &p;
      }
      if (!low) return;  // start is already past the goal
      double t;
      if (high) {
        // Illinois: an end that stays twice in a row counts half as far off.
        if (low->x == last_low && high->x != last_high) ++low_stays, high_stays = 0;
        if (high->x == last_high && low->x != last_low) ++high_stays, low_stays = 0;
        last_low = low->x;
        last_high = high->x;
        const double gl = goal_ + (low->g - goal_) * std::ldexp(1.0, -std::max(0, low_stays - 1));
        const double gh = goal_ + (high->g - goal_) * std::ldexp(1.0, -std::max(0, high_stays - 1));
        double w = (goal_ - gl) / (gh - gl);
        if (!std::isfinite(w)) w = 0.5;
        t = low->x + std::clamp(w, 0.05, 0.95) * (high->x - low->x);
      } else if (low->x >= 1) {
        return;
      } else if (tried.size() >= 2 || rdo) {
        // The slope of the last two trials (or the assumed one), a little
        // past the goal, so that the next trial brackets it.
        double slope = sign * kLambdaSlope[size_ ? 0 : 1];
        bool stalled = false;  // no move towards the goal: twice as far
        if (tried.size() >= 2) {
          const Point& a = tried[tried.size() - 2];
          const Point& b = tried.back();
          const double measured = (b.g - a.g) / (b.x - a.x);
          if (std::isfinite(measured) && sign * measured > 0)
            slope = measured;
          else if (!rdo && forward)
            return;
          else
            stalled = low->x > 0;
        }
        t = std::min(1.0, stalled ? 2 * low->x : low->x + 1.2 * (goal_ - low->g) / slope);
      } else {
        // g(t) = g(0) + reach (far.g - g(0)) t^p.
        const double reach = forward ? kFillReach : kFillBackReach;
        const double power = forward && !size_ ? kFillPower : 1.0;
        const double g0 = low->g, want = (goal_ - g0) / (reach * (far.g - g0));
        if (!(want > 0)) return;
        t = want >= 1 ? 1.0 : std::pow(want, 1.0 / power);
      }
      if (std::any_of(tried.begin(), tried.end(), [t](const Point& p) { return p.x == t; })) return;
      tried.push_back(trial(start.q, false, tuning_at(t, start.q, far.q)));
      tried.back().x = t;
    }
  }

  Point trial(float q, bool lossless, const kv::EncodeTuning& tuning = {}) {
    // Every setting of the caller's but the target and what is filled in.
    EncodeOptions trial_options = options_;
    trial_options.target = {};
    trial_options.report = nullptr;
    trial_options.direction_picture = nullptr;
    trial_options.progress = nullptr;
    trial_options.warnings = nullptr;
    EncodeReport report;
    Image picture;
    if (need_report_) trial_options.report = &report;
    if (options_.direction_picture) trial_options.direction_picture = &picture;
    if (options_.progress) {
      const double done = encodes_;
      trial_options.progress = [this, done](double fraction) {
        options_.progress(std::min(1.0, (done + fraction) / kMaxEncodes));
      };
    }
    std::vector<uint8_t> stream = encode_tuned(image_, q, trial_options, tuning);
    ++encodes_;

    Point p;
    p.q = q;
    p.x = std::log(static_cast<double>(q));
    p.bytes = stream.size();
    p.psnr = report.psnr;
    p.g = size_ ? std::log(static_cast<double>(p.bytes)) : p.psnr;
    p.feasible = size_ ? p.bytes <= budget_ : p.psnr >= options_.target.value;
    p.tuned = !tuning.plain();
    // The value's search sees its own trials only.
    if (!p.tuned) points_.push_back(p);

    if (lossless || better(p)) {
      have_best_ = true;
      best_ = p;
      best_stream_ = std::move(stream);
      best_report_ = std::move(report);
      best_picture_ = std::move(picture);
    }
    return p;
  }

  // Whether feasible `p` beats the best so far: for a size, the larger stream
  // (the finer value on a tie); for a PSNR, one within kPsnrAccept of the
  // target over one beyond, then the smaller stream (the higher PSNR, then
  // the coarser value, on a tie). (With the rate-distortion mode a stream
  // beyond may be the smaller.)
  bool better(const Point& p) const {
    if (!p.feasible) return false;
    if (!have_best_) return true;
    if (size_) return p.bytes > best_.bytes || (p.bytes == best_.bytes && p.q < best_.q);
    const double top = options_.target.value + kPsnrAccept;
    if ((p.psnr <= top) != (best_.psnr <= top)) return p.psnr <= top;
    if (p.bytes != best_.bytes) return p.bytes < best_.bytes;
    return p.psnr > best_.psnr || (p.psnr == best_.psnr && p.q > best_.q);
  }

  // The bracket: the feasible trial nearest the infeasible side (the finest
  // for a size, the coarsest for a PSNR), and the infeasible trial nearest it
  // on that side; either null when there is none.
  std::pair<const Point*, const Point*> bracket() const {
    const Point* f = nullptr;
    const Point* i = nullptr;
    for (const Point& p : points_)
      if (p.feasible && (!f || (size_ ? p.x < f->x : p.x > f->x))) f = &p;
    for (const Point& p : points_)
      if (!p.feasible && (!f || (size_ ? p.x < f->x : p.x > f->x)) && (!i || (size_ ? p.x > i->x : p.x < i->x)))
        i = &p;
    return {f, i};
  }

  bool met() const {
    if (!have_best_) return false;
    if (size_) return static_cast<double>(best_.bytes) >= kSizeAccept * static_cast<double>(budget_);
    return best_.psnr <= options_.target.value + kPsnrAccept;
  }

  // The next value to try; false when none can do better than the best so far.
  bool choose(float& next) {
    const auto [f, i] = bracket();

    if (f && i) {
      const float lower = std::min(f->q, i->q), upper = std::max(f->q, i->q);
      // Values strictly inside the bracket, not tried, and not below the
      // finest lossy one (below it lies only the lossless stream, tried apart).
      auto open = [&](float q) { return q > lower && q < upper && q >= finest_ && !tried(q); };
      if (std::abs(f->x - i->x) < kNarrow && !edge_between(lower, upper)) return false;
      // An end of the bracket on one side of an edge: the other side tells
      // whether the target lies in the jump.
      for (const float end : {f->q, i->q})
        for (int k = 1; k < 64; ++k) {
          const float edge = edges().last[k];
          const float other = end == edge ? next_up(edge) : end == next_up(edge) ? edge : 0.0f;
          if (other != 0.0f && open(other)) {
            next = other;
            return true;
          }
        }
      next = snap(interpolate(*f, *i), lower, upper);
      if (!open(next)) {
        const float from = std::max(lower, std::nextafter(finest_, 0.0f));
        next = std::bit_cast<float>(std::bit_cast<uint32_t>(from) / 2 + std::bit_cast<uint32_t>(upper) / 2);
        if (!open(next)) next = next_up(from);
      }
      return open(next);
    }
    const Point& only = f ? *f : *i;
    // Which way to go: towards finer values for more bytes or more dB.
    const bool finer = f ? size_ : !size_;
    if (finer && only.q <= finest_) {
      next = 1.0f;  // the lossless stream
      return !tried(1.0f);
    }
    if (!finer && only.q >= kCoarsest) return false;
    double x = only.x + std::clamp((goal_ - only.g) / slope(), -kMaxStride, kMaxStride);
    if (flat()) x = finer ? -1.0 : 1e9;  // the last move changed nothing: go to the end
    next = to_value(x);
    // A PSNR often stays nearly level up to an edge and jumps past it: a
    // value close to an edge is moved across it, and once kStallTrials trials
    // between the same edges have all missed, the next goes past the edge
    // ahead. (Level is not flat: the PSNR wavers there, and a few tries may
    // find a value that meets the goal closely.)
    if (!size_) next = plateau_stalls(only) ? past_edge(only.q, finer) : across_edge(next, only.q);
    if (next == only.q || tried(next)) next = finer ? finest_ : kCoarsest;
    if (tried(next)) {
      if (!finer || tried(1.0f)) return false;
      next = 1.0f;
    }
    return true;
  }

  // Regula falsi between the bracket's ends, with the Illinois rule: when the
  // same end has stayed twice in a row, its value is pulled halfway to the
  // goal, so that the other end moves too.
  double interpolate(const Point& f, const Point& i) {
    const bool f_stays = last_f_ == f.q, i_stays = last_i_ == i.q;
    if (f_stays && !i_stays) ++f_stayed_, i_stayed_ = 0;
    if (i_stays && !f_stays) ++i_stayed_, f_stayed_ = 0;
    last_f_ = f.q;
    last_i_ = i.q;
    const double gf = goal_ + (f.g - goal_) * std::ldexp(1.0, -std::max(0, f_stayed_ - 1));
    const double gi = goal_ + (i.g - goal_) * std::ldexp(1.0, -std::max(0, i_stayed_ - 1));
    double t = (goal_ - gi) / (gf - gi);
    if (!std::isfinite(gf) || !std::isfinite(gi) || !std::isfinite(t)) t = 0.5;
    t = std::clamp(t, 0.02, 0.98);
    return i.x + t * (f.x - i.x);
  }

  // x, or the nearest step edge's side when x lies near an edge inside the
  // bracket (lower, upper): the size and PSNR jump there, and interpolation
  // across a jump approaches it only slowly.
  float snap(double x, float lower, float upper) const {
    const double width = std::log(static_cast<double>(upper)) - std::log(static_cast<double>(lower));
    float nearest = 0;
    double distance = std::numeric_limits<double>::infinity();
    for (int k = 1; k < 64; ++k) {
      const float edge = edges().last[k];
      if (edge < lower || next_up(edge) > upper) continue;
      const double d = std::abs(std::log(static_cast<double>(edge)) - x);
      if (d < distance) distance = d, nearest = edge;
    }
    const float value = to_value(x);
    if (nearest == 0 || (distance > kSnapRadius && width > kSnapWidth)) return value;
    const float below = nearest, above = next_up(nearest);
    const bool take_below = x <= std::log(static_cast<double>(nearest));
    for (float side : {take_below ? below : above, take_below ? above : below})
      if (side > lower && side < upper && side >= finest_ && !tried(side)) return side;
    return value;
  }

  bool edge_between(float lower, float upper) const {
    for (int k = 1; k < 64; ++k)
      if (edges().last[k] >= lower && next_up(edges().last[k]) <= upper) return true;
    return false;
  }

  // The two edges around q: the largest value of the steps below q's, and
  // the largest of q's own steps.
  std::pair<float, float> plateau_of(float q) const {
    float below = 1.0f, top = kCoarsest;
    for (int k = 1; k < 64; ++k) {
      const float edge = edges().last[k];
      if (edge < q) below = std::max(below, edge);
      if (edge >= q) top = std::min(top, edge);
    }
    return {below, top};
  }

  // Whether kStallTrials trials have stayed between the edges around `only`
  // on the side that misses the goal.
  bool plateau_stalls(const Point& only) const {
    const std::pair<float, float> plateau = plateau_of(only.q);
    const float below = plateau.first, top = plateau.second;
    return std::count_if(points_.begin(), points_.end(), [&](const Point& p) {
             return p.q > below && p.q <= top && p.feasible == only.feasible;
           }) >= kStallTrials;
  }

  // The first value past the edge ahead of q: the largest value of the finer
  // steps, or the smallest of the coarser ones.
  float past_edge(float q, bool finer) const {
    const auto [below, top] = plateau_of(q);
    return std::clamp(finer ? below : next_up(top), finest_, kCoarsest);
  }

  // `q`, or the side away from `from` of an edge within kSnapRadius of q.
  float across_edge(float q, float from) const {
    const double x = std::log(static_cast<double>(q));
    for (int k = 1; k < 64; ++k) {
      const float edge = edges().last[k];
      if (std::abs(std::log(static_cast<double>(edge)) - x) > kSnapRadius) continue;
      const float side = from > edge ? edge : next_up(edge);
      if (side != from && (from > edge) == (side < from) && side >= finest_ && !tried(side)) return side;
    }
    return q;
  }

  // The slope between the last two trials when it is believable, else the
  // assumed one.
  double slope() const {
    const double assumed =
        size_ ? std::clamp(kSizeSlopeAtOneBit + kSizeSlopePerLnBit * std::log(std::max(bits_per_pixel(budget_), 1e-6)),
                           -1.4, -0.4)
              : kPsnrSlope;
    if (points_.size() < 2) return assumed;
    const Point& a = points_[points_.size() - 2];
    const Point& b = points_.back();
    const double s = (b.g - a.g) / (b.x - a.x);
    const auto& range = kSlopeBelief[size_ ? 0 : 1];
    return std::isfinite(s) && s >= range[0] && s <= range[1] ? s : assumed;
  }

  // Whether the last two trials gave the same value (a picture too small or
  // too plain for the value to matter).
  bool flat() const {
    if (points_.size() < 2) return false;
    const Point& a = points_[points_.size() - 2];
    const Point& b = points_.back();
    return a.bytes == b.bytes && (size_ || a.psnr == b.psnr);
  }

  [[noreturn]] void unreachable() const {
    const Point& coarsest = *std::find_if(points_.begin(), points_.end(), [](const Point& p) { return p.q == kCoarsest; });
    kv::fail(ErrorCode::kTargetUnreachable,
             "Cannot reach %llu bytes (%.4f bits per pixel): the smallest stream of this image takes %llu bytes "
             "(%.4f bits per pixel).",
             static_cast<unsigned long long>(budget_), bits_per_pixel(budget_),
             static_cast<unsigned long long>(coarsest.bytes), bits_per_pixel(coarsest.bytes));
  }

  std::vector<uint8_t> finish() {
    if (options_.report) {
      EncodeReport& report = *options_.report;
      report = std::move(best_report_);
      // The value the stream carries (the rate-distortion mode's effort 2
      // may code another than the one tried).
      if (!(report.quantization > 0)) report.quantization = best_.q;
      report.bytes = best_.bytes;
      report.bits_per_pixel = bits_per_pixel(best_.bytes);
      report.encodes = encodes_;
      report.tuned = best_.tuned;
    }
    if (options_.direction_picture) *options_.direction_picture = std::move(best_picture_);
    if (options_.progress) options_.progress(1.0);
    return std::move(best_stream_);
  }

  const Image& image_;
  const EncodeOptions& options_;
  bool size_ = true;
  bool need_report_ = false;
  double pixels_ = 1;
  uint64_t budget_ = 0;
  double goal_ = 0;
  float finest_ = 1;

  std::vector<Point> points_;
  int encodes_ = 0;
  bool have_best_ = false;
  Point best_;
  std::vector<uint8_t> best_stream_;
  EncodeReport best_report_;
  Image best_picture_;

  float last_f_ = 0, last_i_ = 0;
  int f_stayed_ = 0, i_stayed_ = 0;
};

}  // namespace

std::vector<uint8_t> encode_to_target(const Image& image, const EncodeOptions& options) {
  return Search(image, options).run();
}

void encode_file_to_target(const Image& image, const char* stream_path, const EncodeOptions& options) {
  const std::vector<uint8_t> stream = encode_to_target(image, options);
  std::FILE* file = std::fopen(stream_path, "wb");
  if (!file) kv::fail(ErrorCode::kStreamFile, "new_encoder: cannot open \"%s\"", stream_path);
  const bool written = std::fwrite(stream.data(), 1, stream.size(), file) == stream.size();
  const bool closed = std::fclose(file) == 0;
  if (!written) kv::fail(ErrorCode::kStreamFile, "put_bit: write error");
  if (!closed) kv::fail(ErrorCode::kStreamFile, "kill_encoder: cannot close file");
}

}  // namespace kelvane::detail
