// An order's run as a stored job's args: everything a later try needs to go on where the last
// one left off, in whichever process it runs.
#include <iterator>
#include <utility>

#include "order_machine.h"
#include "outgoing.h"

namespace srv_apps {
namespace {

using content::OrderData;

// Every member of the record: the run's copy and the columns its next write changes round-trip
// whole, so that a try after a restart reads and writes exactly what an uninterrupted run would.
// A member left at its default is not written (a job's args are parsed at every insert and
// copied at every update of its row) and reads back as that default.
constexpr std::pair<const char*, std::string OrderData::*> text_fields[] = {
    {"id", &OrderData::id},
    {"ExtendedId", &OrderData::ExtendedId},
    {"timebeg", &OrderData::timebeg},
    {"ordtypext", &OrderData::ordtypext},
    {"shopext", &OrderData::shopext},
    {"StationExtendedId", &OrderData::StationExtendedId},
    {"prodext", &OrderData::prodext},
    {"prodname", &OrderData::prodname},
    {"prodident", &OrderData::prodident},
    {"priceid", &OrderData::priceid},
    {"ordstatext", &OrderData::ordstatext},
    {"timeend", &OrderData::timeend},
    {"reasonid", &OrderData::reasonid},
    {"reason", &OrderData::reason},
    {"contractid", &OrderData::contractid},
    {"user_phone", &OrderData::user_phone},
    {"user_mail", &OrderData::user_mail},
    {"azstimebeg", &OrderData::azstimebeg},
    {"azstimelast", &OrderData::azstimelast},
};
constexpr std::pair<const char*, double OrderData::*> number_fields[] = {
    {"orderval", &OrderData::orderval},
    {"price", &OrderData::price},
    {"ord_sum", &OrderData::ord_sum},
    {"ord_vol", &OrderData::ord_vol},
    {"sumpaid", &OrderData::sumpaid},
    {"volcompleted", &OrderData::volcompleted},
    {"sumpaidcardcompleted", &OrderData::sumpaidcardcompleted},
    {"sumpaidcompleted", &OrderData::sumpaidcompleted},
    {"sumpaidcard", &OrderData::sumpaidcard},
    {"volume", &OrderData::volume},
    {"summa", &OrderData::summa},
    {"current_price", &OrderData::current_price},
};
constexpr std::pair<const char*, int OrderData::*> int_fields[] = {
    {"trk", &OrderData::trk},
    {"id_app", &OrderData::id_app},
    {"ord_typ", &OrderData::ord_typ},
    {"id_shop", &OrderData::id_shop},
    {"prodcod", &OrderData::prodcod},
    {"status", &OrderData::status},
    {"statusint", &OrderData::statusint},
    {"statusconfirmed", &OrderData::statusconfirmed},
    {"trannum", &OrderData::trannum},
    {"errcode", &OrderData::errcode},
};

web::json::value order_to_json(const OrderData& d) {
  const OrderData unset;
  web::json::object_ptr o = web::json::make_object();
  for (const auto& [key, field] : text_fields) {
    if (d.*field != unset.*field) {
      o->set(key, d.*field);
    }
  }
  for (const auto& [key, field] : number_fields) {
    if (d.*field != unset.*field) {
      o->set(key, d.*field);
    }
  }
  for (const auto& [key, field] : int_fields) {
    if (d.*field != unset.*field) {
      o->set(key, d.*field);
    }
  }
  if (d.postpay != unset.postpay) {
    o->set("postpay", d.postpay);
  }
  return o;
}

// A member that is missing keeps its default; false when one is of another type, or when the
// record is not an object: a record read in part would write a part.
template <class T, class Read>
bool read_member(const web::json::value& v, const char* key, T& out, Read read) {
  const web::json::value member = web::json::find(v, key);
  return web::json::is_null(member) || read(member, out);
}

bool order_from_json(const web::json::value& v, OrderData& d) {
  if (!web::json::is_object(v)) {
    return false;
  }
  OrderData out;
  for (const auto& [key, field] : text_fields) {
    if (!read_member(v, key, out.*field, web::json::as_string)) {
      return false;
    }
  }
  for (const auto& [key, field] : number_fields) {
    if (!read_member(v, key, out.*field, web::json::as_double)) {
      return false;
    }
  }
  for (const auto& [key, field] : int_fields) {
    if (!read_member(v, key, out.*field, web::json::as_int)) {
      return false;
    }
  }
  if (!read_member(v, "postpay", out.postpay, web::json::as_bool)) {
    return false;
  }
  d = std::move(out);
  return true;
}

web::json::value side_to_json(const postpay_side& side) {
  web::json::object_ptr o = web::json::make_object();
  o->set("tries", side.tries);
  o->set("result", side.result);
  o->set("open", side.open);
  return o;
}

// Absent from the args of every other step, and of a post-payment step stored before its sides
// were: both then start afresh.
bool side_from_json(const web::json::value& v, postpay_side& side) {
  side = postpay_side();
  return web::json::is_null(v) ||
         (web::json::as_int(web::json::find(v, "tries"), side.tries) &&
          web::json::as_int(web::json::find(v, "result"), side.result) &&
          web::json::as_bool(web::json::find(v, "open"), side.open));
}

} // namespace

web::json::value order_machine::to_args() const {
  web::json::object_ptr a = web::json::make_object();
  a->set("step", step_);
  a->set("tries", tries_);
  a->set("redispatch", redispatch_);
  a->set("last", static_cast<long long>(last_));
  a->set("event", static_cast<int>(event_));
  a->set("event_name", event_name_);
  a->set("apikey", apikey_);
  a->set("station", station_id_);
  a->set("endpoint", link_.endpoint);
  a->set("key", link_.key);
  a->set("msg", answer_.msg);
  a->set("rec", order_to_json(rec_));
  a->set("patch", order_to_json(patch_));
  if (step_ == STEP_POSTPAY_COMPLETE || step_ == STEP_POSTPAY_CANCEL) {
    a->set("upstr_side", side_to_json(upstr_side_));
    a->set("peer_side", side_to_json(peer_side_));
  }
  // A copy: the args outlive this try, the body goes on changing in it.
  web::json::value body;
  web::json::parse(web::json::write(body_), body);
  a->set("body", body);
  return a;
}

bool order_machine::from_args(const web::json::value& args) {
  int event = INT_STATUS_UNSET;
  long long last = 0;
  web::json::value body;
  const bool ok =
      web::json::as_int(web::json::find(args, "step"), step_) &&
      web::json::as_int(web::json::find(args, "tries"), tries_) &&
      web::json::as_bool(web::json::find(args, "redispatch"), redispatch_) &&
      web::json::as_int64(web::json::find(args, "last"), last) &&
      web::json::as_int(web::json::find(args, "event"), event) &&
      web::json::as_string(web::json::find(args, "event_name"), event_name_) &&
      web::json::as_string(web::json::find(args, "apikey"), apikey_) &&
      web::json::as_int(web::json::find(args, "station"), station_id_) &&
      web::json::as_string(web::json::find(args, "endpoint"), link_.endpoint) &&
      web::json::as_string(web::json::find(args, "key"), link_.key) &&
      web::json::as_string(web::json::find(args, "msg"), answer_.msg) &&
      order_from_json(web::json::find(args, "rec"), rec_) &&
      order_from_json(web::json::find(args, "patch"), patch_) &&
      side_from_json(web::json::find(args, "upstr_side"), upstr_side_) &&
      side_from_json(web::json::find(args, "peer_side"), peer_side_) &&
      web::json::parse(web::json::write(web::json::find(args, "body")), body) &&
      web::json::is_object(body);
  if (!ok) {
    return false;
  }
  event_ = static_cast<IntStatusType>(event);
  last_ = static_cast<long>(last);
  body_ = web::json::as_object(body);
  return true;
}

// The peer whose calls the step makes, for the runner's per-peer limit.
std::string order_machine::peer_of_step(int step) const {
  switch (step) {
  case STEP_ACCEPT:
  case STEP_REPORT_FUELING:
  case STEP_CANCELED:
    return peer_of(upstream_.base_url());
  case STEP_STOP:
  case STEP_START:
  case STEP_POSTPAY_COMPLETE: // the station's side retries longest
  case STEP_POSTPAY_CANCEL:
    return peer_of(link_.endpoint);
  default:
    return "";
  }
}

void register_order_jobs(job_runner& jobs, endpoint_env env) {
  jobs.handle(order_job_kind, [env](const job_call& call, job_unit& unit) -> job_result {
    return order_machine::run_job(env, call, unit);
  });
}

} // namespace srv_apps
