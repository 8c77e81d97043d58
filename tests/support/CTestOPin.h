// The least output pin: the mirror of the input pin, for connection tests.
#pragma once

#include "CDmxPin.h"

class CTestOPin : public CDmxPin {
 public:
  // Disconnects here, while this is still a whole output pin: the input pin calls
  // back into its partner's Disconnect, which a half-destroyed pin could not take.
  ~CTestOPin() override {
    if (mPartner) Disconnect(mPartner);
  }

  int pindir() const override { return kOutput; }
  bool Connect(CDmxPin* other) override {
    if (other && other == mPartner) return true;
    if (mPartner || !other || other->pindir() != kInput) return false;
    mPartner = other;
    if (other->Connect(this)) return true;
    mPartner = nullptr;
    return false;
  }
  void Disconnect(CDmxPin* other) override {
    if (!other || other != mPartner) return;
    mPartner = nullptr;
    // Call back only a partner that still holds us: a dying input pin has let go.
    if (other->partner() == this) other->Disconnect(this);
  }
  // Hands the turn to the connected input pin.
  void Pass(CDmxTurn* turn) override {
    if (mPartner) mPartner->Pass(turn);
  }
};
