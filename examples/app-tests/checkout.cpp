#include "checkout.h"

#include <OrvExperiment/OrvExperiment.h>

#include <algorithm>
#include <atomic>

struct Checkout::Shared {
  std::atomic<int> rerenders{0};
};

Checkout::Checkout() : shared_(std::make_shared<Shared>()) {
  // Change listeners run on the library's main queue: the counter is atomic.
  listener_ = OrvExperiment::addChangeListener([shared = shared_](const auto& keys) {
    static const char* const shown[] = {"button_color", "free_shipping_threshold",
                                        "express_enabled", "headline"};
    for (const char* key : shown) {
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
        ++shared->rerenders;
        return;
      }
    }
  });
}

Checkout::~Checkout() { OrvExperiment::removeChangeListener(listener_); }

CheckoutView Checkout::render(double cartTotal) const {
  CheckoutView view;
  view.buttonColor = OrvExperiment::getValueAsString("button_color", "grey");
  const double threshold =
      OrvExperiment::getValueAsNumber("free_shipping_threshold", OrvValue(50)).doubleValue();
  view.shippingFee = cartTotal >= threshold ? 0 : kShippingFee;
  view.expressOffered = OrvExperiment::getValueAsBoolean("express_enabled", false);
  view.headline = OrvExperiment::getValueAsJson("headline")["text"].stringValue();
  if (view.headline.empty()) view.headline = "Your basket";
  return view;
}

int Checkout::rerenders() const { return shared_->rerenders.load(); }
