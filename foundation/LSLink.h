// Intrusive singly linked lists: elements carry their own link, so linking never allocates.
#pragma once

#include <type_traits>

class LSLinkBase;
template <class T>
class LSLinkIter;

// The link an element derives from. Its next pointer is null while the element is in no list,
// which is the only sign of membership. The destructor does not unlink: whoever destroys an
// element removes it from its list first.
class SSLink {
 public:
  SSLink() = default;
  // A copy is a different object and so in no list; assignment leaves the target's link alone.
  SSLink(const SSLink&) {}
  SSLink& operator=(const SSLink&) { return *this; }
  virtual ~SSLink() = default;

  bool linked() const { return mNextLink != nullptr; }

 private:
  friend class LSLinkBase;
  template <class T>
  friend class LSLinkIter;

  struct SelfLinked {};
  // Only the end marker links to itself.
  explicit SSLink(SelfLinked) : mNextLink(this) {}
  bool endmarker() const { return mNextLink == this; }

  SSLink* mNextLink = nullptr;
};

// An untyped list that borrows its elements. Every list ends in the same process-wide end marker,
// so whole chains move between lists without touching them. No element count is kept.
class LSLinkBase {
 public:
  LSLinkBase();
  // Unlinks every element; destroys none.
  virtual ~LSLinkBase();
  LSLinkBase(const LSLinkBase&) = delete;
  LSLinkBase& operator=(const LSLinkBase&) = delete;

  bool empty() const { return mLast == &mHead; }

  // Linking ignores an element that is null or already in a list.
  void Insert(SSLink* e);
  void Append(SSLink* e);
  // Links e after `after`, which must be in this list, or at the front when `after` is null.
  void InsertAfter(SSLink* e, SSLink* after);

  // Unlinking sets the element's next pointer to null, so it can be linked again at once.
  SSLink* RemoveFirst();
  // Unlinks the element after prev (the first one when prev is null); null when there is none.
  SSLink* RemoveNext(SSLink* prev);
  // Searches from the front; false when e is null or not in this list.
  bool Remove(SSLink* e);
  SSLink* RemoveLast();

  // The element at a 0-based position, or null past the end.
  SSLink* operator[](unsigned int i) const;

  // Moves all elements, in order, to the end of dest.
  void Detach(LSLinkBase& dest);
  // Unlinks and destroys every element.
  void DeleteAll();

 private:
  void LinkAfter(SSLink* prev, SSLink* e);
  SSLink* UnlinkAfter(SSLink* prev);

  // Stands before the first element: its next pointer is the list's first element, so linking
  // after the last link and after the head work the same way for an empty list.
  SSLink mHead;
  SSLink* mLast;
};

// The typed view of a list whose elements are T. SSLink need not be T's first base, so the
// conversions below are pointer-adjusting casts, and they keep null as null.
template <class T>
class LSLink : public LSLinkBase {
 public:
  LSLink() { static_assert(std::is_base_of_v<SSLink, T>, "list elements derive from SSLink"); }

  void Insert(T* e) { LSLinkBase::Insert(e); }
  void Append(T* e) { LSLinkBase::Append(e); }
  void InsertAfter(T* e, T* after) { LSLinkBase::InsertAfter(e, after); }
  T* RemoveFirst() { return Cast(LSLinkBase::RemoveFirst()); }
  T* RemoveNext(T* prev) { return Cast(LSLinkBase::RemoveNext(prev)); }
  bool Remove(T* e) { return LSLinkBase::Remove(e); }
  T* RemoveLast() { return Cast(LSLinkBase::RemoveLast()); }
  T* operator[](unsigned int i) const { return Cast(LSLinkBase::operator[](i)); }
  void Detach(LSLink<T>& dest) { LSLinkBase::Detach(dest); }

  static T* Cast(SSLink* link) { return static_cast<T*>(link); }
};

// Walks a list. Each step (the conversion to bool) moves to the next element and reports whether
// there is one; the usual form is `while (iter) { ... iter->... }`. An element removed from the
// list during its visit ends the walk at the next step.
template <class T>
class LSLinkIter {
 public:
  explicit LSLinkIter(const LSLink<T>& list) : mList(list) {}

  explicit operator bool() {
    if (!mStarted) {
      mStarted = true;
      mCurrent = mList[0];
    } else if (mCurrent) {
      SSLink* next = static_cast<SSLink*>(mCurrent)->mNextLink;
      mCurrent = (next && !next->endmarker()) ? LSLink<T>::Cast(next) : nullptr;
    }
    return mCurrent != nullptr;
  }

  T* current() const { return mCurrent; }
  T* operator->() const { return mCurrent; }

 private:
  const LSLink<T>& mList;
  T* mCurrent = nullptr;
  bool mStarted = false;
};
