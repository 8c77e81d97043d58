// The plug-in interface stand-in: ports by key, key-value coding, observation.
#include "QCPlugIn.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

double QCDoubleValue(QCValue const& v) {
  if (auto const* d = std::get_if<double>(&v)) return *d;
  if (auto const* s = std::get_if<std::string>(&v)) {
    double d = 0;
    auto const* first = s->data();
    while (first != s->data() + s->size() && *first == ' ') ++first;
    if (std::from_chars(first, s->data() + s->size(), d).ec == std::errc()) return d;
  }
  return 0;
}

float QCFloatValue(QCValue const& v) {
  return static_cast<float>(QCDoubleValue(v));
}

int QCIntValue(QCValue const& v) {
  const double d = QCDoubleValue(v);
  if (std::isnan(d)) return 0;
  if (d >= static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  if (d <= static_cast<double>(std::numeric_limits<int>::min()))
    return std::numeric_limits<int>::min();
  return static_cast<int>(d);
}

namespace {
QCPlugIn::SPort* Find(std::vector<QCPlugIn::SPort>& ports, std::string const& key) {
  auto it = std::find_if(ports.begin(), ports.end(), [&](auto const& p) { return p.key == key; });
  return it == ports.end() ? nullptr : &*it;
}
QCPlugIn::SPort const* Find(std::vector<QCPlugIn::SPort> const& ports, std::string const& key) {
  return Find(const_cast<std::vector<QCPlugIn::SPort>&>(ports), key);
}
}  // namespace

bool QCPlugIn::AddPort(std::vector<SPort>& ports, PortChange change, std::string const& type,
                       std::string const& key, QCAttributes const& attributes) {
  if (Find(ports, key)) return false;
  QCValue value;
  if (auto it = attributes.find(QCPortAttributeDefaultValueKey); it != attributes.end())
    value = type == QCPortTypeNumber ? QCValue(QCDoubleValue(it->second)) : it->second;
  ports.push_back({key, type, attributes, value});
  if (mPortObserver) mPortObserver(change, key);
  return true;
}

void QCPlugIn::RemovePort(std::vector<SPort>& ports, PortChange change, std::string const& key) {
  auto it = std::find_if(ports.begin(), ports.end(), [&](auto const& p) { return p.key == key; });
  if (it == ports.end()) return;
  ports.erase(it);
  if (mPortObserver) mPortObserver(change, key);
}

bool QCPlugIn::addInputPortWithTypeForKeyWithAttributes(std::string const& type,
                                                        std::string const& key,
                                                        QCAttributes const& attributes) {
  return AddPort(mInputs, PortChange::kAddInput, type, key, attributes);
}

bool QCPlugIn::addOutputPortWithTypeForKeyWithAttributes(std::string const& type,
                                                         std::string const& key,
                                                         QCAttributes const& attributes) {
  return AddPort(mOutputs, PortChange::kAddOutput, type, key, attributes);
}

void QCPlugIn::removeInputPortForKey(std::string const& key) {
  RemovePort(mInputs, PortChange::kRemoveInput, key);
}

void QCPlugIn::removeOutputPortForKey(std::string const& key) {
  RemovePort(mOutputs, PortChange::kRemoveOutput, key);
}

QCValue QCPlugIn::valueForInputKey(std::string const& key) const {
  SPort const* p = Find(mInputs, key);
  return p ? p->value : QCValue();
}

bool QCPlugIn::setValueForOutputKey(QCValue const& value, std::string const& key) {
  SPort* p = Find(mOutputs, key);
  if (!p) return false;
  p->value = value;
  return true;
}

bool QCPlugIn::setValueForInputKey(QCValue const& value, std::string const& key) {
  SPort* p = Find(mInputs, key);
  if (!p) return false;
  p->value = value;
  return true;
}

QCValue QCPlugIn::valueForOutputKey(std::string const& key) const {
  SPort const* p = Find(mOutputs, key);
  return p ? p->value : QCValue();
}

void QCPlugIn::setValueForKey(QCValue const& value, std::string const& key) {
  takeValueForKey(value, key);
  didChangeValueForKey(key);
}

bool QCPlugIn::validateValueForKeyError(QCValue&, std::string const&, std::string*) {
  return true;
}

std::uint64_t QCPlugIn::addObserverForKey(std::string const& key, std::function<void()> fn) {
  mObservers.push_back({mNextToken, key, std::move(fn)});
  return mNextToken++;
}

void QCPlugIn::removeObserver(std::uint64_t token) {
  std::erase_if(mObservers, [&](SObserver const& o) { return o.token == token; });
}

void QCPlugIn::didChangeValueForKey(std::string const& key) {
  // A copy: an observer may remove itself while it is told.
  auto const observers = mObservers;
  for (auto const& o : observers)
    if (o.key == key) o.fn();
}

QCValue QCPlugIn::serializedValueForKey(std::string const& key) {
  return valueForKey(key);
}

void QCPlugIn::setSerializedValueForKey(QCValue const& value, std::string const& key) {
  setValueForKey(value, key);
}
