// Event travel along handler chains.
#include "LHandler.h"

#include "UString.h"

namespace {
bool SameName(char const* a, char const* b) {
  return a == b || UString::IsEqual(reinterpret_cast<unsigned char const*>(a),
                                    reinterpret_cast<unsigned char const*>(b));
}
}  // namespace

bool LEvent::is(LCStr const& name, LHandler const* source) const {
  return (source == nullptr || mSource == source) && SameName(mName, name.mText);
}

LHandler::~LHandler() {
  Dispatch(LEvent(rDestructing, this, mNext));
}

LEvent LHandler::HandleEvent(LEvent const& e) {
  return LEvent(e, mNext ? mNext : e.mSource);
}

void LHandler::Dispatch(LEvent const& e) {
  LEvent current = e;
  while (current.mSource && current.mTarget) {
    LHandler* const h = current.mTarget;
    LEvent r = h->HandleEvent(current);
    // The unconsumed event came back to its source unchanged: its travel is over.
    if (r.mSource == current.mSource && h == current.mSource && SameName(r.mName, current.mName))
      return;
    current = r;
  }
}
