// Where a page's visible area lies and which way it prints, from what a PDF
// library reports; above all from a library without the rotation and
// bounding-box reads, which only tells the page's own boxes.
#include "pdffit/page_plan.h"

#include <gtest/gtest.h>

namespace {

using tb::pdffit::Box;
using tb::pdffit::FitPlan;
using tb::pdffit::PageFacts;
using tb::pdffit::PageFit;
using tb::pdffit::PagePlan;
using tb::pdffit::PlanPage;

PageFacts Facts(double w, double h, std::optional<Box> media, std::optional<Box> crop = {}) {
  PageFacts f;
  f.width = w;
  f.height = h;
  f.ownMedia = media;
  f.ownCrop = crop;
  return f;
}

void ExpectBox(const Box& b, Box expected) {
  EXPECT_FLOAT_EQ(b.left, expected.left);
  EXPECT_FLOAT_EQ(b.bottom, expected.bottom);
  EXPECT_FLOAT_EQ(b.right, expected.right);
  EXPECT_FLOAT_EQ(b.top, expected.top);
}

TEST(PagePlan, OwnBoxesAreUsedOnlyWhenTheReportedSizeProvesNothingInheritedCutsThem) {
  PagePlan plan;
  std::string reason;
  // Own crop within own media, reversed numbers normalised.
  ASSERT_TRUE(PlanPage(Facts(288, 432, Box{308, 472, 0, 0}, Box{10, 20, 298, 452}), plan, reason));
  ExpectBox(plan.visible, {10, 20, 298, 452});
  ASSERT_TRUE(plan.media);
  ExpectBox(*plan.media, {0, 0, 308, 472});

  // Own crop, inherited media: the crop is visible whole, and the media box
  // that will be written is the crop (the inherited one is unknown).
  ASSERT_TRUE(PlanPage(Facts(288, 432, std::nullopt, Box{10, 20, 298, 452}), plan, reason));
  ExpectBox(plan.visible, {10, 20, 298, 452});
  EXPECT_FALSE(plan.media);
  // ... unless the page is smaller than its crop: an inherited media box
  // cuts it somewhere the library does not say.
  EXPECT_FALSE(PlanPage(Facts(250, 432, std::nullopt, Box{10, 20, 298, 452}), plan, reason));
  EXPECT_NE(reason.find("inherits"), std::string::npos) << reason;

  // Own media, inherited crop: likewise.
  ASSERT_TRUE(PlanPage(Facts(288, 432, Box{0, 0, 288, 432}), plan, reason));
  EXPECT_FALSE(PlanPage(Facts(288, 400, Box{0, 0, 288, 432}), plan, reason));
  // An empty own crop box shows the media box.
  ASSERT_TRUE(PlanPage(Facts(288, 432, Box{0, 0, 288, 432}, Box{0, 100, 288, 100}), plan, reason));
  ExpectBox(plan.visible, {0, 0, 288, 432});

  // No own box at all: the position is unknown even when the size is.
  EXPECT_FALSE(PlanPage(Facts(612, 792, std::nullopt), plan, reason));
  EXPECT_NE(reason.find("page tree"), std::string::npos) << reason;
}

TEST(PagePlan, TurnComesFromTheLibraryOrFromTheSizeUnlessTheAreaIsSquare) {
  PagePlan plan;
  std::string reason;
  ASSERT_TRUE(PlanPage(Facts(432, 288, Box{0, 0, 288, 432}), plan, reason));
  EXPECT_TRUE(plan.turned);
  ASSERT_TRUE(PlanPage(Facts(288, 432, Box{0, 0, 288, 432}), plan, reason));
  EXPECT_FALSE(plan.turned);
  EXPECT_FALSE(PlanPage(Facts(300, 300, Box{0, 0, 300, 300}), plan, reason));
  EXPECT_NE(reason.find("rotation"), std::string::npos) << reason;

  // Reported: a square page turned a quarter is planned, and a reported turn
  // that contradicts the size is refused.
  PageFacts square = Facts(300, 300, std::nullopt);
  square.quarterTurns = 3;
  square.visible = Box{50, 60, 350, 360};
  ASSERT_TRUE(PlanPage(square, plan, reason)) << reason;
  EXPECT_TRUE(plan.turned);
  PageFacts contradicting = Facts(432, 288, Box{0, 0, 288, 432});
  contradicting.quarterTurns = 2;
  EXPECT_FALSE(PlanPage(contradicting, plan, reason));
}

TEST(PagePlan, TurnedPagesScaleTheirXAxisFromTheLeftEdge) {
  PagePlan plan;
  plan.turned = true;
  plan.visible = Box{100, 0, 388, 432};  // prints 432 wide, 288 high
  PageFit fit;
  ASSERT_TRUE(FitPlan(plan, 0.8, fit));
  EXPECT_DOUBLE_EQ(fit.scale, 1.875);  // printed height 288 becomes 540
  EXPECT_FLOAT_EQ(fit.matrix.a, 1.875f);
  EXPECT_FLOAT_EQ(fit.matrix.d, 1.0f);
  EXPECT_FLOAT_EQ(fit.matrix.e, -87.5f);
  ExpectBox(fit.crop, {100, 0, 640, 432});
  ExpectBox(fit.media, {100, 0, 640, 432});

  plan.visible = Box{100, 0, 100, 432};
  EXPECT_FALSE(FitPlan(plan, 0.8, fit));  // no width: no finite scale
}

}  // namespace
