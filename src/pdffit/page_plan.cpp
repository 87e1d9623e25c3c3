#include "pdffit/page_plan.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tb::pdffit {
namespace {

// Sizes come back as float differences; anything closer than this is the
// same edge.
constexpr double kSizeSlack = 0.01;

Box Normalized(Box b) {
  if (b.left > b.right) std::swap(b.left, b.right);
  if (b.bottom > b.top) std::swap(b.bottom, b.top);
  return b;
}

bool IsEmpty(const Box& b) { return !(b.right > b.left && b.top > b.bottom); }

Box Intersection(const Box& a, const Box& b) {
  return Box{std::max(a.left, b.left), std::max(a.bottom, b.bottom), std::min(a.right, b.right),
             std::min(a.top, b.top)};
}

bool Contains(const Box& outer, const Box& inner) {
  return inner.left >= outer.left - kSizeSlack && inner.bottom >= outer.bottom - kSizeSlack &&
         inner.right <= outer.right + kSizeSlack && inner.top <= outer.top + kSizeSlack;
}

bool Near(double a, double b) { return std::fabs(a - b) <= kSizeSlack; }

// The visible area as far as the page's own boxes tell it. A box the page
// inherits is not among them, so the result is only a candidate: the caller
// accepts it when its size is the size the library reports, which holds only
// when no inherited box cuts it.
bool CandidateFromOwnBoxes(const PageFacts& facts, Box& visible) {
  std::optional<Box> media;
  if (facts.ownMedia && !IsEmpty(Normalized(*facts.ownMedia))) media = Normalized(*facts.ownMedia);
  if (facts.ownCrop) {
    const Box crop = Normalized(*facts.ownCrop);
    if (!IsEmpty(crop)) {  // an empty crop box shows the media box
      visible = media ? Intersection(crop, *media) : crop;
      return !IsEmpty(visible);
    }
  }
  if (!media) return false;
  visible = *media;
  return true;
}

Box MapY(const Box& b, float scale, float offset) {
  return Box{b.left, scale * b.bottom + offset, b.right, scale * b.top + offset};
}

Box MapX(const Box& b, float scale, float offset) {
  return Box{scale * b.left + offset, b.bottom, scale * b.right + offset, b.top};
}

}  // namespace

bool PlanPage(const PageFacts& facts, PagePlan& plan, std::string& reason) {
  Box visible;
  if (facts.visible) {
    visible = Normalized(*facts.visible);
  } else if (!CandidateFromOwnBoxes(facts, visible)) {
    reason = "its visible area comes from the page tree, which the PDF library does not report";
    return false;
  }
  const double across = visible.right - visible.left;
  const double up = visible.top - visible.bottom;
  const bool straight = Near(across, facts.width) && Near(up, facts.height);
  const bool turnedSize = Near(across, facts.height) && Near(up, facts.width);
  const char* mismatch =
      facts.visible ? "its visible area does not have the size the PDF library reports"
                    : "a crop or media box it inherits from the page tree cuts its visible area, "
                      "and the PDF library does not report where";

  bool turned;
  if (facts.quarterTurns && *facts.quarterTurns >= 0 && *facts.quarterTurns <= 3) {
    turned = *facts.quarterTurns % 2 == 1;
    if (!(turned ? turnedSize : straight)) {
      reason = mismatch;
      return false;
    }
  } else if (straight && turnedSize) {
    // A square area: its size cannot tell which axis prints upright.
    reason = "the PDF library does not report its rotation and its square shape does not tell it";
    return false;
  } else if (straight || turnedSize) {
    turned = turnedSize;
  } else {
    reason = mismatch;
    return false;
  }

  plan.turned = turned;
  plan.visible = visible;
  plan.media.reset();
  // The page's own media box moves with the content; an inherited one is
  // unknown, so the visible area becomes the media box (it showed no more).
  if (facts.ownMedia) {
    const Box media = Normalized(*facts.ownMedia);
    if (!IsEmpty(media) && Contains(media, visible)) plan.media = media;
  }
  return true;
}

bool FitPlan(const PagePlan& plan, double ratio, PageFit& fit) {
  const Box& v = plan.visible;
  const double across = v.right - v.left;
  const double up = v.top - v.bottom;
  const double printedWidth = plan.turned ? up : across;
  const double printedHeight = plan.turned ? across : up;
  const double s = printedWidth / ratio / printedHeight;
  if (!std::isfinite(s) || s <= 0) return false;

  // The printed height runs along the page's y axis, or along its x axis
  // when the page is turned a quarter; the bottom (or left) edge of the
  // visible area stays in place.
  const float sf = static_cast<float>(s);
  const Box media = plan.media.value_or(v);
  fit.scale = s;
  if (!plan.turned) {
    const float f = (1.0f - sf) * v.bottom;
    fit.matrix = FS_MATRIX{1.0f, 0.0f, 0.0f, sf, 0.0f, f};
    fit.crop = MapY(v, sf, f);
    fit.media = MapY(media, sf, f);
  } else {
    const float f = (1.0f - sf) * v.left;
    fit.matrix = FS_MATRIX{sf, 0.0f, 0.0f, 1.0f, f, 0.0f};
    fit.crop = MapX(v, sf, f);
    fit.media = MapX(media, sf, f);
  }
  return true;
}

}  // namespace tb::pdffit
