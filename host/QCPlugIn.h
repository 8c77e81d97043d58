// Our stand-in for the composition host's plug-in interface: number ports by key,
// key-value coding and observation, saved keys, and the settings view controller.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

// A value as the host passes it around: nothing (nil), a number or a string.
using QCValue = std::variant<std::monostate, double, std::string>;
using QCAttributes = std::map<std::string, QCValue>;

// Numeric readings of a value, as the host's number objects give them: nil and
// non-numeric strings read as 0; integer readings truncate toward zero and saturate.
int QCIntValue(QCValue const& v);
float QCFloatValue(QCValue const& v);
double QCDoubleValue(QCValue const& v);

inline constexpr char QCPlugInAttributeNameKey[] = "name";
inline constexpr char QCPlugInAttributeDescriptionKey[] = "description";
inline constexpr char QCPortAttributeNameKey[] = "name";
inline constexpr char QCPortAttributeDefaultValueKey[] = "defaultValue";
inline constexpr char QCPortTypeNumber[] = "QCPortTypeNumber";

enum QCPlugInExecutionMode {
  kQCPlugInExecutionModeProvider = 1,
  kQCPlugInExecutionModeProcessor = 2,
  kQCPlugInExecutionModeConsumer = 3,
};

enum QCPlugInTimeMode {
  kQCPlugInTimeModeNone = 0,
  kQCPlugInTimeModeIdle = 1,
  kQCPlugInTimeModeTimeBase = 2,
};

// What the host hands to the execution methods; nothing the plug-ins here read.
struct QCPlugInContext {};

class QCPlugInViewController;

// The base of every plug-in. The host adds and removes nothing itself: the plug-in
// builds its ports, the host feeds input values, reads output values and executes
// the plug-in every frame. Host thread only.
class QCPlugIn {
 public:
  struct SPort {
    std::string key;
    std::string type;
    QCAttributes attributes;
    QCValue value;
  };
  enum class PortChange { kAddInput, kRemoveInput, kAddOutput, kRemoveOutput };

  QCPlugIn() = default;
  virtual ~QCPlugIn() = default;
  QCPlugIn(QCPlugIn const&) = delete;
  QCPlugIn& operator=(QCPlugIn const&) = delete;

  // ---- ports, as the plug-in uses them
  // False if a port of that key exists already. The port starts at its default value.
  bool addInputPortWithTypeForKeyWithAttributes(std::string const& type, std::string const& key,
                                                QCAttributes const& attributes);
  bool addOutputPortWithTypeForKeyWithAttributes(std::string const& type, std::string const& key,
                                                 QCAttributes const& attributes);
  void removeInputPortForKey(std::string const& key);
  void removeOutputPortForKey(std::string const& key);
  // The current value of an input port; nil when there is no such port.
  QCValue valueForInputKey(std::string const& key) const;
  // False when there is no such output port.
  bool setValueForOutputKey(QCValue const& value, std::string const& key);

  // The port itself, for a plug-in that reads or writes it every frame without a
  // lookup; null if there is none. Valid until a port is added or removed.
  SPort* inputPortForKey(std::string const& key);
  SPort* outputPortForKey(std::string const& key);

  // ---- ports, as the host uses them
  std::vector<SPort> const& inputPorts() const { return mInputs.list; }
  std::vector<SPort> const& outputPorts() const { return mOutputs.list; }
  bool setValueForInputKey(QCValue const& value, std::string const& key);
  QCValue valueForOutputKey(std::string const& key) const;
  // Told of every port added or removed, in order.
  std::function<void(PortChange, std::string const& key)> mPortObserver;

  // ---- key-value coding and observation
  virtual QCValue valueForKey(std::string const& key) const = 0;
  // Sets through the key's setter, then tells the key's observers.
  void setValueForKey(QCValue const& value, std::string const& key);
  // Corrects or refuses a proposed value; the default takes every value as it is.
  virtual bool validateValueForKeyError(QCValue& value, std::string const& key, std::string* error);
  std::uint64_t addObserverForKey(std::string const& key, std::function<void()> fn);
  void removeObserver(std::uint64_t token);
  void didChangeValueForKey(std::string const& key);

  // ---- persistence: a key's saved value is its getter's, restored through its setter
  virtual std::vector<std::string> savedKeys() const = 0;
  virtual QCValue serializedValueForKey(std::string const& key);
  virtual void setSerializedValueForKey(QCValue const& value, std::string const& key);

  // ---- execution
  virtual bool startExecution(QCPlugInContext*) { return true; }
  virtual void enableExecution(QCPlugInContext*) {}
  virtual bool execute(QCPlugInContext* context, double time, QCAttributes const& arguments) = 0;
  virtual void disableExecution(QCPlugInContext*) {}
  virtual void stopExecution(QCPlugInContext*) {}

  // A new settings view controller, owned by the caller; null if the plug-in has none.
  virtual std::unique_ptr<QCPlugInViewController> createViewController() { return nullptr; }

 protected:
  // The setter behind setValueForKey.
  virtual void takeValueForKey(QCValue const& value, std::string const& key) = 0;

 private:
  struct SObserver {
    std::uint64_t token;
    std::string key;
    std::function<void()> fn;
  };
  // Ports in the order they were added, with an index by key.
  struct SPorts {
    std::vector<SPort> list;
    std::unordered_map<std::string, std::size_t> index;
    SPort* Find(std::string const& key);
    SPort const* Find(std::string const& key) const { return const_cast<SPorts*>(this)->Find(key); }
  };
  bool AddPort(SPorts& ports, PortChange change, std::string const& type, std::string const& key,
               QCAttributes const& attributes);
  void RemovePort(SPorts& ports, PortChange change, std::string const& key);

  SPorts mInputs;
  SPorts mOutputs;
  std::vector<SObserver> mObservers;
  std::uint64_t mNextToken = 1;
};

// The controller of a plug-in's settings view: which plug-in, which view resource.
// The host draws the view; its fields go through the plug-in's validation and
// key-value coding, and its status texts observe their keys.
class QCPlugInViewController {
 public:
  QCPlugInViewController(QCPlugIn* plugIn, std::string viewNibName)
      : mPlugIn(plugIn), mViewNibName(std::move(viewNibName)) {}
  QCPlugIn* plugIn() const { return mPlugIn; }
  std::string const& viewNibName() const { return mViewNibName; }

 private:
  QCPlugIn* mPlugIn;
  std::string mViewNibName;
};
