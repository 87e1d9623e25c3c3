#pragma once
// Where a page's visible area lies and which way it prints, worked out from
// what the PDF library reports, and the vertical fit that follows from it.
#include <optional>
#include <string>

#include "pdffit/pdfium_abi.h"

namespace tb::pdffit {

struct Box {
  float left = 0;
  float bottom = 0;
  float right = 0;
  float top = 0;
};

// What the library told about one page.
struct PageFacts {
  double width = 0;  // as shown: turned by the page's rotation
  double height = 0;
  std::optional<int> quarterTurns;  // when the library can report it
  std::optional<Box> visible;       // crop within media as inherited, when reported
  std::optional<Box> ownMedia;      // the boxes in the page's own dictionary, raw
  std::optional<Box> ownCrop;
};

struct PagePlan {
  bool turned = false;        // the page's x axis runs up the printed page
  Box visible;                // normalised, in the page's own coordinates
  std::optional<Box> media;   // the media box to map; none: the visible area
};

// True with the plan; false with why the page's visible area or its turn
// cannot be known, in which case the page must be left as it is.
bool PlanPage(const PageFacts& facts, PagePlan& plan, std::string& reason);

struct PageFit {
  double scale = 0;  // of the printed height
  FS_MATRIX matrix{};
  Box media;
  Box crop;
};

// The transform that gives the page as it prints the width:height `ratio`:
// the printed height is scaled, the edge the scale runs from stays in place,
// and both boxes move with the content. False when the scale is not a
// positive finite number.
bool FitPlan(const PagePlan& plan, double ratio, PageFit& fit);

}  // namespace tb::pdffit
