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

QCPlugIn::SPort* QCPlugIn::SPorts::Find(std::string const& key) {
  auto it = index.find(key);
  return it == index.end() ? nullptr : &list[it->second];
}

bool QCPlugIn::AddPort(SPorts& ports, PortChange change, std::string const& type,
                       std::string const& key, QCAttributes const& attributes) {
  if (ports.Find(key)) return false;
  QCValue value;
  if (auto it = attributes.find(QCPortAttributeDefaultValueKey); it != attributes.end())
    value = type == QCPortTypeNumber ? QCValue(QCDoubleValue(it->second)) : it->second;
  ports.index.emplace(key, ports.list.size());
  ports.list.push_back({key, type, attributes, value});
  if (mPortObserver) mPortObserver(change, key);
  return true;
}

void QCPlugIn::RemovePort(SPorts& ports, PortChange change, std::string const& key) {
  auto it = ports.index.find(key);
  if (it == ports.index.end()) return;
  const std::size_t at = it->second;
  ports.index.erase(it);
  ports.list.erase(ports.list.begin() + static_cast<std::ptrdiff_t>(at));
  for (std::size_t i = at; i < ports.list.size(); ++i) ports.index[ports.list[i].key] = i;
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

QCPlugIn::SPort* QCPlugIn::inputPortForKey(std::string const& key) {
  return mInputs.Find(key);
}

QCPlugIn::SPort* QCPlugIn::outputPortForKey(std::string const& key) {
  return mOutputs.Find(key);
}

QCValue QCPlugIn::valueForInputKey(std::string const& key) const {
  SPort const* p = mInputs.Find(key);
  return p ? p->value : QCValue();
}

bool QCPlugIn::setValueForOutputKey(QCValue const& value, std::string const& key) {
  SPort* p = mOutputs.Find(key);
  if (!p) return false;
  p->value = value;
  return true;
}

bool QCPlugIn::setValueForInputKey(QCValue const& value, std::string const& key) {
  SPort* p = mInputs.Find(key);
  if (!p) return false;
  p->value = value;
  return true;
}

QCValue QCPlugIn::valueForOutputKey(std::string const& key) const {
  SPort const* p = mOutputs.Find(key);
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
