// The JSON forms of the API's bodies.

#include "BridgeKit/Router.h"

namespace BridgeKit {

Json::Value toJson(const Router::ErrorBody& body) {
  Json::Object o{{"code", body.code}};
  Json::setIfPresent(o, "loadedMm", body.loadedMm);
  return o;
}

Json::Value toJson(const Router::PrinterBody& body) {
  Json::Object o{{"name", body.name}, {"connected", body.connected}};
  Json::setIfPresent(o, "state", body.state);
  Json::setIfPresent(o, "problem", body.problem);
  Json::setIfPresent(o, "tapeMm", body.tapeMm);
  Json::setIfPresent(o, "error", body.error);
  return o;
}

Json::Value toJson(const Router::StatusBody& body) {
  Json::Array tapes(body.tapes.begin(), body.tapes.end());
  Json::Object o{{"app", body.app}, {"version", body.version}, {"tapes", std::move(tapes)}};
  if (body.printer) o.insert_or_assign("printer", toJson(*body.printer));
  return o;
}

}  // namespace BridgeKit
