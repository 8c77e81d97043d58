// Pin connection and the input pin.
#include "CDmxPin.h"

#include "CDmxTurn.h"

CDmxPin::~CDmxPin() {
  if (CDmxPin* partner = mPartner) {
    mPartner = nullptr;
    partner->Disconnect(this);
  }
}

bool CDmxIPin::Connect(CDmxPin* other) {
  if (other && other == mPartner) return true;
  if (mPartner || !other || other->pindir() != kOutput) return false;
  mPartner = other;
  if (other->Connect(this)) return true;
  mPartner = nullptr;
  return false;
}

void CDmxIPin::Disconnect(CDmxPin* other) {
  if (!other || other != mPartner) return;
  mPartner = nullptr;
  other->Disconnect(this);
}

void CDmxIPin::Pass(CDmxTurn* turn) {
  if (!turn || !mNotify.function) return;
  turn->mPin = this;
  mNotify.function(mNotify.context, kPinPass, this, turn);
}

void CDmxIPin::Cancel(CDmxTurn* turn) {
  if (turn && mNotify.function) mNotify.function(mNotify.context, kPinCancel, this, turn);
}
