// The checkout screen's tests, as the application writes them: each test starts the
// library in test mode with the payload it needs, asserts on what the screen shows and
// on the exposure events its reads sent, and leaves a clean library for the next test.
// All of them run in one process.
#include <OrvExperiment/OrvExperiment.h>
#include <OrvExperiment/OrvTesting.h>
#include <gtest/gtest.h>

#include <string>

#include "checkout.h"

namespace {

// A payload where the button's colour and the shipping threshold are experiments.
std::string payload(const std::string& color, const std::string& colorGroup, double threshold,
                    const std::string& shippingGroup, bool express) {
  return R"({"button_color": ")" + color + R"(", "free_shipping_threshold": )" +
         std::to_string(threshold) + R"(, "express_enabled": )" + (express ? "true" : "false") +
         R"(, "headline": {"text": "Almost yours"},
    "experiment_detail": [
      {"#experiment_id": "button", "#experiment_group_id": ")" +
         colorGroup + R"(", "#is_control_group": )" + (colorGroup == "control" ? "true" : "false") +
         R"(, "#feature_list": ["button_color"]},
      {"#experiment_id": "shipping", "#experiment_group_id": ")" +
         shippingGroup + R"(", "#feature_list": ["free_shipping_threshold"]}]})";
}

class CheckoutTest : public ::testing::Test {
 protected:
  void TearDown() override { OrvTesting::reset(); }
};

TEST_F(CheckoutTest, WithoutItsFeaturesTheScreenShowsItsDefaultsAndExposesNothing) {
  ASSERT_TRUE(OrvTesting::start("{}"));
  const CheckoutView view = Checkout().render(60);
  EXPECT_EQ(view.buttonColor, "grey");
  EXPECT_EQ(view.shippingFee, 0);  // the built-in threshold of 50
  EXPECT_FALSE(view.expressOffered);
  EXPECT_EQ(view.headline, "Your basket");
  EXPECT_TRUE(OrvTesting::exposures().empty());
}

TEST_F(CheckoutTest, RenderingTwiceExposesEachExperimentOnce) {
  ASSERT_TRUE(OrvTesting::start(payload("green", "treatment", 30, "low", true)));
  Checkout checkout;
  checkout.render(10);
  checkout.render(40);
  const auto exposures = OrvTesting::exposures();
  ASSERT_EQ(exposures.size(), 2u);
  EXPECT_EQ(exposures[0].experimentId, OrvValue("button"));
  EXPECT_EQ(exposures[1].experimentId, OrvValue("shipping"));
  EXPECT_EQ(exposures[1].groupId, OrvValue("low"));
}

TEST_F(CheckoutTest, AQaOverrideShowsItsValueAndIsNoExposure) {
  auto config = OrvExperimentConfig::create("shop", "");
  config->setOverrides(OrvValue::parseJson(R"({"button_color": "purple"})").value);
  ASSERT_TRUE(OrvTesting::start(payload("green", "treatment", 30, "low", true), config));
  Checkout checkout;
  EXPECT_EQ(checkout.render(10).buttonColor, "purple");
  const auto exposures = OrvTesting::exposures();
  ASSERT_EQ(exposures.size(), 1u);  // the shipping experiment only
  EXPECT_EQ(exposures[0].appId, "shop");
  EXPECT_EQ(exposures[0].experimentId, OrvValue("shipping"));
}

TEST_F(CheckoutTest, ANewPayloadReRendersTheScreenAndItsNewGroupIsExposed) {
  ASSERT_TRUE(OrvTesting::start(payload("green", "treatment", 30, "low", true)));
  Checkout checkout;
  EXPECT_EQ(checkout.render(35).shippingFee, 0);
  ASSERT_TRUE(OrvTesting::setPayload(payload("green", "treatment", 80, "high", true)));
  EXPECT_EQ(checkout.rerenders(), 1);  // setPayload returns after listeners ran
  EXPECT_EQ(checkout.render(35).shippingFee, Checkout::kShippingFee);
  const auto exposures = OrvTesting::exposures();
  ASSERT_EQ(exposures.size(), 3u);
  EXPECT_EQ(exposures[2].groupId, OrvValue("high"));
}

// One hundred carts, each with a payload of its own: the values and the exposure of
// each case belong to that case alone.
class CheckoutCaseTest : public CheckoutTest, public ::testing::WithParamInterface<int> {};

TEST_P(CheckoutCaseTest, ShowsItsCasesValuesAndExposesItsGroups) {
  const int i = GetParam();
  const std::string colors[] = {"green", "blue", "orange"};
  const std::string color = colors[i % 3];
  const std::string colorGroup = i % 2 ? "treatment" : "control";
  const double threshold = 10.0 * i;
  const std::string shippingGroup = "t" + std::to_string(i);
  ASSERT_TRUE(OrvTesting::start(payload(color, colorGroup, threshold, shippingGroup, i % 4 == 0)));

  Checkout checkout;
  const CheckoutView above = checkout.render(threshold + 5);
  const CheckoutView below = checkout.render(threshold - 1);
  EXPECT_EQ(above.buttonColor, color);
  EXPECT_EQ(above.shippingFee, 0);
  EXPECT_EQ(below.shippingFee, Checkout::kShippingFee);
  EXPECT_EQ(above.expressOffered, i % 4 == 0);
  EXPECT_EQ(above.headline, "Almost yours");

  const auto exposures = OrvTesting::exposures();
  ASSERT_EQ(exposures.size(), 2u);  // two experiments; express and headline are none
  EXPECT_EQ(exposures[0].groupId, OrvValue(colorGroup));
  EXPECT_EQ(exposures[0].isControl, colorGroup == "control");
  EXPECT_EQ(exposures[1].groupId, OrvValue(shippingGroup));
  EXPECT_EQ(exposures[1].appId, OrvTesting::kDefaultAppId);
}

INSTANTIATE_TEST_SUITE_P(Carts, CheckoutCaseTest, ::testing::Range(0, 100));

}  // namespace
