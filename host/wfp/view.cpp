// The read-only view of the filter engine and its JSON form.
#include "host/wfp/engine.h"

#include <cstdio>
#include <utility>

namespace host::wfp {

bool SameGuid(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string ServiceStateName(FWPM_SERVICE_STATE state) {
  switch (state) {
    case FWPM_SERVICE_STOPPED: return "FWPM_SERVICE_STOPPED";
    case FWPM_SERVICE_START_PENDING: return "FWPM_SERVICE_START_PENDING";
    case FWPM_SERVICE_STOP_PENDING: return "FWPM_SERVICE_STOP_PENDING";
    case FWPM_SERVICE_RUNNING: return "FWPM_SERVICE_RUNNING";
    default: return std::to_string(static_cast<int>(state));
  }
}

EngineView View() {
  detail::Engine& engine = detail::TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  return engine.objects;
}

const ProviderContextRecord* EngineView::FindProviderContext(const GUID& key) const {
  return detail::FindByKey(providerContexts, key);
}
const SubLayerRecord* EngineView::FindSubLayer(const GUID& key) const { return detail::FindByKey(subLayers, key); }
const CalloutRecord* EngineView::FindCallout(const GUID& key) const { return detail::FindByKey(callouts, key); }
const RegisteredCalloutRecord* EngineView::FindRegisteredCallout(const GUID& key) const {
  return detail::FindByKey(registeredCallouts, key);
}
const FilterRecord* EngineView::FindFilterForCallout(const GUID& calloutKey) const {
  for (const FilterRecord& filter : filters)
    if ((filter.actionType & FWP_ACTION_FLAG_CALLOUT) != 0 && SameGuid(filter.actionKey, calloutKey)) return &filter;
  return nullptr;
}

// ---- JSON ------------------------------------------------------------------------------
namespace {

class Json {
 public:
  static Json Object() { return Json(Kind::Object); }
  static Json Array() { return Json(Kind::Array); }
  static Json Null() { return Scalar("null"); }
  static Json Text(const std::string& text) { return Scalar(Quote(text)); }
  static Json Number(UINT64 value) { return Scalar(std::to_string(value)); }
  static Json Bool(bool value) { return Scalar(value ? "true" : "false"); }
  static Json Hex(UINT64 value, int digits) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return Text(text);
  }
  static Json Key(const GUID& guid) { return Text(GuidText(guid)); }

  Json& Add(const std::string& name, Json value) {
    members_.emplace_back(name, std::move(value));
    return *this;
  }
  Json& Push(Json value) {
    members_.emplace_back(std::string(), std::move(value));
    return *this;
  }

  void Write(std::string& out, int depth) const {
    if (kind_ == Kind::Scalar) {
      out += scalar_;
      return;
    }
    bool object = kind_ == Kind::Object;
    out += object ? '{' : '[';
    if (members_.empty()) {
      out += object ? '}' : ']';
      return;
    }
    std::string indent(2 * (depth + 1), ' ');
    for (size_t i = 0; i < members_.size(); ++i) {
      out += i == 0 ? "\n" : ",\n";
      out += indent;
      if (object) out += Quote(members_[i].first) + ": ";
      members_[i].second.Write(out, depth + 1);
    }
    out += '\n' + std::string(2 * depth, ' ') + (object ? '}' : ']');
  }

 private:
  enum class Kind { Scalar, Object, Array };
  explicit Json(Kind kind) : kind_(kind) {}
  static Json Scalar(std::string text) {
    Json json(Kind::Scalar);
    json.scalar_ = std::move(text);
    return json;
  }
  static std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
        out += escaped;
      } else {
        out += c;
      }
    }
    return out + "\"";
  }

  Kind kind_;
  std::string scalar_;
  std::vector<std::pair<std::string, Json>> members_;
};

struct Name {
  UINT64 value;
  const char* text;
};

std::string NameOf(UINT64 value, std::initializer_list<Name> names) {
  for (const Name& name : names)
    if (name.value == value) return name.text;
  return std::to_string(value);
}

// Flag words as the names of their bits; bits without a name in hex.
Json Flags(UINT32 flags, std::initializer_list<Name> names) {
  Json list = Json::Array();
  for (const Name& name : names)
    if (flags & name.value) {
      list.Push(Json::Text(name.text));
      flags &= ~static_cast<UINT32>(name.value);
    }
  for (UINT32 bit = 1; bit != 0; bit <<= 1)
    if (flags & bit) list.Push(Json::Hex(bit, 8));
  return list;
}

std::string DataTypeName(FWP_DATA_TYPE type) {
  return NameOf(type, {{FWP_EMPTY, "FWP_EMPTY"},
                       {FWP_UINT8, "FWP_UINT8"},
                       {FWP_UINT16, "FWP_UINT16"},
                       {FWP_UINT32, "FWP_UINT32"},
                       {FWP_UINT64, "FWP_UINT64"},
                       {FWP_BYTE_ARRAY16_TYPE, "FWP_BYTE_ARRAY16_TYPE"},
                       {FWP_BYTE_BLOB_TYPE, "FWP_BYTE_BLOB_TYPE"},
                       {FWP_SID, "FWP_SID"},
                       {FWP_SECURITY_DESCRIPTOR_TYPE, "FWP_SECURITY_DESCRIPTOR_TYPE"},
                       {FWP_UNICODE_STRING_TYPE, "FWP_UNICODE_STRING_TYPE"}});
}

Json Value(FWP_DATA_TYPE type, UINT64 value) {
  Json json = Json::Object();
  json.Add("type", Json::Text(DataTypeName(type)));
  switch (type) {
    case FWP_UINT8: json.Add("uint8", Json::Number(value)); break;
    case FWP_UINT16: json.Add("uint16", Json::Number(value)); break;
    case FWP_UINT32: json.Add("uint32", Json::Number(value)); break;
    case FWP_UINT64: json.Add("uint64", Json::Hex(value, 16)); break;
    default: break;
  }
  return json;
}

Json Layer(const GUID& key) {
  Json json = Json::Object();
  json.Add("key", Json::Key(key));
  std::string name = LayerName(key);
  json.Add("name", name.empty() ? Json::Null() : Json::Text(name));
  return json;
}

// The fields every management object shows, after its key.
Json Object(const char* keyName, const ObjectRecord& record, Json flags) {
  Json json = Json::Object();
  json.Add(keyName, Json::Key(record.key));
  Json display = Json::Object();
  display.Add("name", Json::Text(record.name)).Add("description", Json::Text(record.description));
  json.Add("displayData", std::move(display));
  json.Add("flags", std::move(flags));
  json.Add("providerKey", record.providerKey ? Json::Key(*record.providerKey) : Json::Null());
  json.Add("providerData", Json::Number(record.providerData.size()));
  json.Add("session", Json::Hex(reinterpret_cast<uintptr_t>(record.session), 8));
  return json;
}

Json ProviderContext(const ProviderContextRecord& record) {
  Json json = Object("providerContextKey", record, Flags(record.flags, {}));
  json.Add("type", Json::Text(NameOf(record.type, {{FWPM_CLASSIFY_OPTIONS_CONTEXT, "FWPM_CLASSIFY_OPTIONS_CONTEXT"},
                                                   {FWPM_GENERAL_CONTEXT, "FWPM_GENERAL_CONTEXT"}})));
  if (record.type == FWPM_CLASSIFY_OPTIONS_CONTEXT) {
    Json options = Json::Array();
    for (const ClassifyOptionRecord& option : record.classifyOptions) {
      Json entry = Json::Object();
      entry.Add("type", Json::Text(NameOf(
                            option.type,
                            {{FWP_CLASSIFY_OPTION_MULTICAST_STATE, "FWP_CLASSIFY_OPTION_MULTICAST_STATE"},
                             {FWP_CLASSIFY_OPTION_LOOSE_SOURCE_MAPPING, "FWP_CLASSIFY_OPTION_LOOSE_SOURCE_MAPPING"},
                             {FWP_CLASSIFY_OPTION_UNICAST_LIFETIME, "FWP_CLASSIFY_OPTION_UNICAST_LIFETIME"},
                             {FWP_CLASSIFY_OPTION_MCAST_BCAST_LIFETIME, "FWP_CLASSIFY_OPTION_MCAST_BCAST_LIFETIME"},
                             {FWP_CLASSIFY_OPTION_LOCAL_ONLY_MAPPING, "FWP_CLASSIFY_OPTION_LOCAL_ONLY_MAPPING"}})));
      entry.Add("value", Value(option.valueType, option.value));
      options.Push(std::move(entry));
    }
    json.Add("classifyOptions", std::move(options));
  } else {
    json.Add("dataBuffer", Json::Number(record.dataBuffer.size()));
  }
  json.Add("providerContextId", Json::Number(record.providerContextId));
  return json;
}

Json Callout(const CalloutRecord& record) {
  Json json = Object("calloutKey", record, Flags(record.flags, {}));
  json.Add("applicableLayer", Layer(record.applicableLayer));
  json.Add("calloutId", Json::Number(record.calloutId));
  return json;
}

std::string ActionName(FWP_ACTION_TYPE type) {
  return NameOf(type, {{FWP_ACTION_BLOCK, "FWP_ACTION_BLOCK"},
                       {FWP_ACTION_PERMIT, "FWP_ACTION_PERMIT"},
                       {FWP_ACTION_CALLOUT_TERMINATING, "FWP_ACTION_CALLOUT_TERMINATING"},
                       {FWP_ACTION_CALLOUT_INSPECTION, "FWP_ACTION_CALLOUT_INSPECTION"},
                       {FWP_ACTION_CALLOUT_UNKNOWN, "FWP_ACTION_CALLOUT_UNKNOWN"}});
}

Json Filter(const FilterRecord& record) {
  Json json = Object("filterKey", record,
                     Flags(record.flags, {{FWPM_FILTER_FLAG_PERSISTENT, "FWPM_FILTER_FLAG_PERSISTENT"},
                                          {FWPM_FILTER_FLAG_BOOTTIME, "FWPM_FILTER_FLAG_BOOTTIME"},
                                          {FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT,
                                           "FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT"},
                                          {FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT, "FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT"},
                                          {FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED,
                                           "FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED"}}));
  json.Add("layerKey", Layer(record.layerKey));
  json.Add("subLayerKey", Json::Key(record.subLayerKey));
  json.Add("weight", Value(record.weightType, record.weightValue));
  Json conditions = Json::Array();
  for (const FilterConditionRecord& condition : record.conditions) {
    Json entry = Json::Object();
    entry.Add("fieldKey", Json::Key(condition.fieldKey));
    entry.Add("matchType", Json::Number(condition.matchType));
    entry.Add("conditionValue", Json::Object().Add("type", Json::Text(DataTypeName(condition.valueType))));
    conditions.Push(std::move(entry));
  }
  json.Add("filterCondition", std::move(conditions));
  Json action = Json::Object();
  action.Add("type", Json::Text(ActionName(record.actionType)));
  action.Add((record.actionType & FWP_ACTION_FLAG_CALLOUT) ? "calloutKey" : "filterType", Json::Key(record.actionKey));
  json.Add("action", std::move(action));
  if (record.flags & FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT)
    json.Add("providerContextKey", Json::Key(record.providerContextKey));
  else
    json.Add("rawContext", Json::Hex(record.rawContext, 16));
  json.Add("filterId", Json::Number(record.filterId));
  json.Add("effectiveWeight", Value(FWP_UINT64, record.effectiveWeight));
  return json;
}

Json RegisteredCallout(const RegisteredCalloutRecord& record) {
  Json json = Json::Object();
  json.Add("calloutKey", Json::Key(record.key));
  json.Add("calloutId", Json::Number(record.calloutId));
  json.Add("flags", Flags(record.flags, {{FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW, "FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW"},
                                         {FWP_CALLOUT_FLAG_ALLOW_OFFLOAD, "FWP_CALLOUT_FLAG_ALLOW_OFFLOAD"}}));
  json.Add("classifyFn", Json::Bool(record.classifyFn != nullptr));
  json.Add("notifyFn", Json::Bool(record.notifyFn != nullptr));
  json.Add("flowDeleteFn", Json::Bool(record.flowDeleteFn != nullptr));
  return json;
}

}  // namespace

std::string ToJson(const EngineView& view) {
  Json bfe = Json::Object();
  bfe.Add("state", Json::Text(ServiceStateName(view.bfeState)));
  Json subscriptions = Json::Array();
  for (const BfeSubscriptionRecord& subscription : view.bfeSubscriptions) {
    Json notified = Json::Array();
    for (FWPM_SERVICE_STATE state : subscription.notified) notified.Push(Json::Text(ServiceStateName(state)));
    subscriptions.Push(Json::Object()
                           .Add("changeHandle", Json::Hex(reinterpret_cast<uintptr_t>(subscription.handle), 8))
                           .Add("notified", std::move(notified)));
  }
  bfe.Add("subscriptions", std::move(subscriptions));

  Json sessions = Json::Array();
  for (const SessionRecord& session : view.sessions) {
    Json display = Json::Object();
    display.Add("name", Json::Text(session.name)).Add("description", Json::Text(session.description));
    sessions.Push(Json::Object()
                      .Add("sessionKey", Json::Key(session.key))
                      .Add("displayData", std::move(display))
                      .Add("flags", Flags(session.flags, {{FWPM_SESSION_FLAG_DYNAMIC, "FWPM_SESSION_FLAG_DYNAMIC"}}))
                      .Add("txnWaitTimeoutInMSec", Json::Number(session.txnWaitTimeoutInMSec))
                      .Add("handle", Json::Hex(reinterpret_cast<uintptr_t>(session.handle), 8)));
  }

  Json providerContexts = Json::Array();
  for (const ProviderContextRecord& record : view.providerContexts) providerContexts.Push(ProviderContext(record));
  Json subLayers = Json::Array();
  for (const SubLayerRecord& record : view.subLayers)
    subLayers.Push(Object("subLayerKey", record, Flags(record.flags, {})).Add("weight", Json::Number(record.weight)));
  Json callouts = Json::Array();
  for (const CalloutRecord& record : view.callouts) callouts.Push(Callout(record));
  Json filters = Json::Array();
  for (const FilterRecord& record : view.filters) filters.Push(Filter(record));
  Json registered = Json::Array();
  for (const RegisteredCalloutRecord& record : view.registeredCallouts) registered.Push(RegisteredCallout(record));
  Json injection = Json::Array();
  for (const InjectionHandleRecord& record : view.injectionHandles) {
    injection.Push(
        Json::Object()
            .Add("handle", Json::Hex(reinterpret_cast<uintptr_t>(record.handle), 8))
            .Add("addressFamily",
                 Json::Text(NameOf(record.addressFamily,
                                   {{AF_UNSPEC, "AF_UNSPEC"}, {AF_INET, "AF_INET"}, {AF_INET6, "AF_INET6"}})))
            .Add("type", Flags(record.injectionType, {{FWPS_INJECTION_TYPE_STREAM, "FWPS_INJECTION_TYPE_STREAM"},
                                                      {FWPS_INJECTION_TYPE_TRANSPORT, "FWPS_INJECTION_TYPE_TRANSPORT"},
                                                      {FWPS_INJECTION_TYPE_NETWORK, "FWPS_INJECTION_TYPE_NETWORK"},
                                                      {FWPS_INJECTION_TYPE_FORWARD, "FWPS_INJECTION_TYPE_FORWARD"}})));
  }

  Json root = Json::Object();
  root.Add("bfe", std::move(bfe))
      .Add("sessions", std::move(sessions))
      .Add("providerContexts", std::move(providerContexts))
      .Add("subLayers", std::move(subLayers))
      .Add("callouts", std::move(callouts))
      .Add("filters", std::move(filters))
      .Add("registeredCallouts", std::move(registered))
      .Add("injectionHandles", std::move(injection));
  std::string out;
  root.Write(out, 0);
  return out;
}

}  // namespace host::wfp
