// Pins: the points through which a producer hands turns to a consumer.
#pragma once

#include "CCB.h"

class CDmxTurn;

// A pin is unconnected or connected to one partner of the other direction.
// Connecting and disconnecting are mutual: the pin that starts sets or clears its own
// partner, then asks the partner to do the same; the partner's call back ends there.
class CDmxPin {
 public:
  enum Dir { kInput = 0, kOutput = 1 };

  CDmxPin() = default;
  // A pin destroyed while connected disconnects its partner.
  virtual ~CDmxPin();
  CDmxPin(CDmxPin const&) = delete;
  CDmxPin& operator=(CDmxPin const&) = delete;

  virtual int pindir() const = 0;
  virtual bool Connect(CDmxPin* other) = 0;
  virtual void Disconnect(CDmxPin* other) = 0;
  virtual void Pass(CDmxTurn* turn) = 0;

  CDmxPin* partner() const { return mPartner; }

 protected:
  CDmxPin* mPartner = nullptr;
};

// The consumer's pin: turns passed in are reported to its owner's callback.
class CDmxIPin : public CDmxPin {
 public:
  enum PinFunc { kPinPass = 0, kPinCancel = 1 };
  using NotifyCB = CCB<void (*)(void*, PinFunc, CDmxPin*, CDmxTurn*)>;

  explicit CDmxIPin(NotifyCB const& notify) : mNotify(notify) {}

  int pindir() const override { return kInput; }
  bool Connect(CDmxPin* other) override;
  void Disconnect(CDmxPin* other) override;
  // Takes the turn (it now holds it) and tells the owner; without a callback the turn
  // is left alone.
  void Pass(CDmxTurn* turn) override;
  // Tells the owner that the producer withdrew `turn`.
  void Cancel(CDmxTurn* turn);

 private:
  NotifyCB mNotify;
};
