// An imaginary application's checkout screen, the code its tests exercise. It reads
// four features: two belong to experiments (the button's colour and the free-shipping
// threshold), one is a plain switch, one a JSON dictionary.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct CheckoutView {
  std::string buttonColor;
  double shippingFee = 0;
  bool expressOffered = false;
  std::string headline;
};

class Checkout {
 public:
  static constexpr double kShippingFee = 4.99;

  // Listens for feature changes from now on (the screen re-renders when they come).
  Checkout();
  ~Checkout();
  Checkout(const Checkout&) = delete;
  Checkout& operator=(const Checkout&) = delete;

  // Reads the features each time: they may change while the application runs.
  CheckoutView render(double cartTotal) const;
  // How often a change of a feature this screen shows asked for a re-render.
  int rerenders() const;

 private:
  struct Shared;
  // Shared with the listener, which may still run once after the screen is gone.
  std::shared_ptr<Shared> shared_;
  std::uint64_t listener_ = 0;
};
