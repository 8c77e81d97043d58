// The untyped intrusive list operations.
#include "LSLink.h"

LSLinkBase::LSLinkBase() : mLast(&mHead) {
  // Created once under thread-safe static initialisation and never written again, so lists on
  // different threads may share it.
  static SSLink gDummy(SSLink::SelfLinked{});
  mHead.mNextLink = &gDummy;
}

LSLinkBase::~LSLinkBase() {
  while (RemoveFirst()) {
  }
}

void LSLinkBase::LinkAfter(SSLink* prev, SSLink* e) {
  e->mNextLink = prev->mNextLink;
  prev->mNextLink = e;
  if (mLast == prev) mLast = e;
}

SSLink* LSLinkBase::UnlinkAfter(SSLink* prev) {
  SSLink* e = prev->mNextLink;
  if (!e || e->endmarker()) return nullptr;
  prev->mNextLink = e->mNextLink;
  if (mLast == e) mLast = prev;
  e->mNextLink = nullptr;
  return e;
}

void LSLinkBase::Insert(SSLink* e) {
  InsertAfter(e, nullptr);
}

void LSLinkBase::Append(SSLink* e) {
  if (e && !e->linked()) LinkAfter(mLast, e);
}

void LSLinkBase::InsertAfter(SSLink* e, SSLink* after) {
  if (!e || e->linked()) return;
  SSLink* prev = after ? after : &mHead;
  if (prev->linked()) LinkAfter(prev, e);
}

SSLink* LSLinkBase::RemoveFirst() {
  return UnlinkAfter(&mHead);
}

SSLink* LSLinkBase::RemoveNext(SSLink* prev) {
  return UnlinkAfter(prev ? prev : &mHead);
}

bool LSLinkBase::Remove(SSLink* e) {
  if (!e || !e->linked()) return false;
  for (SSLink* prev = &mHead; !prev->mNextLink->endmarker(); prev = prev->mNextLink) {
    if (prev->mNextLink == e) return UnlinkAfter(prev) != nullptr;
  }
  return false;
}

SSLink* LSLinkBase::RemoveLast() {
  SSLink* e = mLast;
  return (e != &mHead && Remove(e)) ? e : nullptr;
}

SSLink* LSLinkBase::operator[](unsigned int i) const {
  SSLink* e = mHead.mNextLink;
  for (; !e->endmarker() && i > 0; --i) e = e->mNextLink;
  return e->endmarker() ? nullptr : e;
}

void LSLinkBase::Detach(LSLinkBase& dest) {
  if (empty() || &dest == this) return;
  dest.mLast->mNextLink = mHead.mNextLink;
  dest.mLast = mLast;
  mHead.mNextLink = mLast->mNextLink;
  mLast = &mHead;
}

void LSLinkBase::DeleteAll() {
  while (SSLink* e = RemoveFirst()) delete e;
}
