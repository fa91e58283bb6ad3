// vorel_cloud.connect: Quick Connect tokens -> ConnectConfig, export to the
// VOREL_* environment, the one-call bootstrap `connect()` with the agent claim
// (POST /v1/agents/claim), and `doctor()`, which records every outcome of a
// bootstrap as a check instead of raising.
//
// Every name a caller may patch (the client classes, the models, the
// exceptions, `os`, `base64`, `json`, `logger`, the sibling functions and the
// module constants) is read from the module globals at the moment of use, and
// the environment is reached only through `os.environ`.
#include <string>
#include <utility>

#include "runtime/vorel.hpp"

using namespace vc;

namespace {

// ---- small helpers ----------------------------------------------------------

Ref cloud_error(const Call& c, PyObject* message) { return call(c.global("VorelCloudError"), {message}); }



// `a or b` where b is only computed when a is falsy.
template <class F>
Ref or_else(PyObject* a, F&& b) {
  if (truthy(a)) return Ref::borrow(a);
  return b();
}

Ref empty_text() { return text(""); }

// What os.environ refuses on assignment, raised as it raises it: a value that
// is not text, one with a NUL, or one the file-system encoding cannot carry
// (a lone surrogate).
void check_exportable(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    Ref lead = text("str expected, not ");
    Ref type_name = attr(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
    Ref message = cat({lead.get(), type_name.get()});
    raise(call(PyExc_TypeError, {message.get()}));
  }
  const Py_ssize_t nul = PyUnicode_FindChar(value, 0, 0, PyUnicode_GET_LENGTH(value), 1);
  if (nul == -2) throw_pending();
  if (nul >= 0) raise(PyExc_ValueError, "embedded null byte");
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(value));
}

// getattr(exc, name, None): the package's errors always carry these, but an
// error raised by foreign code must not turn a recorded check into a crash.
Ref error_attr(PyObject* exc, const char* name) { return attr_or(exc, name, Py_None); }

// `try: body() finally: client.close()`. A failing close replaces the error in
// flight and, as in Python, carries it as __context__.
template <class F>
Ref closing(PyObject* client, F&& body) {
  Ref result;
  try {
    result = body();
  } catch (PyError&) {
    Ref e = take_error();
    {
      Handling scope(e);
      call_method(client, "close");
    }
    rethrow(e);
  }
  call_method(client, "close");
  return result;
}

// checks.append(BootstrapCheck(*positional[, raw=raw]))
void append_check(const Call& c, PyObject* checks, std::initializer_list<PyObject*> positional,
                  PyObject* raw = nullptr) {
  Ref cls = c.global("BootstrapCheck");
  Ref check_obj = raw ? call(cls, positional, {{"raw", raw}}) : call(cls, positional);
  call_method(checks, "append", {check_obj.get()});
}

// ---- token and configuration ----------------------------------------------

Ref parse_connect_token(Call& c) {
  PyObject* token = c.arg(0);
  Ref prefix = c.global("_CONNECT_PREFIX");
  if (!truthy(call_method(token, "startswith", {prefix.get()}))) {
    Ref shown = Ref::steal(PyObject_Repr(prefix));
    Ref lead = text("invalid connect token: expected prefix ");
    raise(cloud_error(c, cat({lead.get(), shown.get()})));
  }

  Ref start = Ref::steal(PyLong_FromSsize_t(length(prefix)));
  Ref cut = Ref::steal(PySlice_New(start, nullptr, nullptr));
  Ref encoded = item(token, cut.get());
  // A token read from a .env file or a mounted secret often ends in a line
  // break; it is no part of the encoding and must not count towards the fill.
  Ref trailing_blanks = text(" \t\n\r\x0b\x0c");
  encoded = call_method(encoded, "rstrip", {trailing_blanks.get()});
  // Tokens are usually handed around without their "=" fill; put it back.
  const Py_ssize_t missing = ((-length(encoded)) % 4 + 4) % 4;
  Ref pad = text(std::string(static_cast<size_t>(missing), '='));

  Ref raw;
  try {
    Ref padded = add(encoded, pad);
    raw = call_method(c.global("base64"), "urlsafe_b64decode", {padded.get()});
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_Exception)) rethrow(e);
    Handling scope(e);
    Ref lead = text("invalid connect token encoding: ");
    Ref detail = format(e);
    raise_from_handled(cloud_error(c, cat({lead.get(), detail.get()})), e);
  }

  Ref data;
  try {
    Ref json = c.global("json");
    Ref loads = attr(json, "loads");
    Ref utf8_name = text("utf-8");
    Ref decoded = call_method(raw, "decode", {utf8_name.get()});
    data = call(loads, {decoded.get()});
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_Exception)) rethrow(e);
    Handling scope(e);
    Ref lead = text("invalid connect token JSON: ");
    Ref detail = format(e);
    raise_from_handled(cloud_error(c, cat({lead.get(), detail.get()})), e);
  }

  Ref payload = call_method(c.global("ConnectTokenPayload"), "from_dict", {data.get()});
  if (!truthy(attr(payload, "endpoint")) || !truthy(attr(payload, "api_key"))) {
    Ref msg = text("incomplete connect token: endpoint and api_key are required");
    raise(cloud_error(c, msg));
  }
  return payload;
}

Ref connect_config_from_token(Call& c) {
  Ref payload = call(c.global("parse_connect_token"), {c.arg(0)});
  Ref slash = text("/");
  Ref base_url = call_method(attr(payload, "endpoint"), "rstrip", {slash.get()});
  Ref api_key = attr(payload, "api_key");
  Ref agent_id = or_else(attr(payload, "agent_id"), none);
  Ref registration_token = or_else(attr(payload, "registration_token"), none);
  return call(c.global("ConnectConfig"), {},
              {{"api_base_url", base_url.get()},
               {"api_key", api_key.get()},
               {"agent_id", agent_id.get()},
               {"registration_token", registration_token.get()}});
}

Ref apply_connect_config(Call& c) {
  PyObject* config = c.arg(0);
  PyObject* overwrite = c.arg(1);
  // The registration token is single-use and stays out of the environment.
  Ref env_map = dict();
  for (auto [name, field] : {std::pair{"_ENV_API_KEY", "api_key"}, std::pair{"_ENV_CONTROL_PLANE_URL", "api_base_url"}}) {
    Ref key = c.global(name);
    Ref value = attr(config, field);
    check(PyDict_SetItem(env_map, key, value));
  }
  Ref agent_id = attr(config, "agent_id");
  if (truthy(agent_id)) check(PyDict_SetItemString(env_map, "VOREL_AGENT_ID", agent_id));

  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  // Every value is checked before the first write: one refused half-way
  // would leave a new key beside an old endpoint.
  while (PyDict_Next(env_map, &pos, &key, &value)) {
    try {
      check_exportable(value);
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_TypeError) && !matches(e, PyExc_ValueError)) rethrow(e);
      Handling scope(e);
      Ref lead = text("invalid connect token value for ");
      Ref name = format(key);
      Ref sep = text(": ");
      Ref detail = format(e);
      raise_from_handled(cloud_error(c, cat({lead.get(), name.get(), sep.get(), detail.get()})), e);
    }
  }

  pos = 0;
  while (PyDict_Next(env_map, &pos, &key, &value)) {
    // Only an explicit overwrite beats a value the operator already set.
    if (truthy(overwrite) || !truthy(environ_get(c.globals(), key))) {
      Ref environ = attr(c.global("os"), "environ");
      check(PyObject_SetItem(environ, key, value));
    }
  }
  return none();
}

// ---- bootstrap and claim ------------------------------------------------------

Ref new_client(const Call& c, const char* cls, PyObject* config) {
  Ref factory = c.global(cls);
  Ref api_key = attr(config, "api_key");
  Ref base_url = attr(config, "api_base_url");
  return call(factory, {api_key.get()}, {{"base_url", base_url.get()}});
}

Ref connect(Call& c) {
  PyObject* token = c.arg(0);
  PyObject* public_key_hex = c.arg(1);
  PyObject* claim = c.arg(2);
  PyObject* apply_env = c.arg(3);
  PyObject* async_client = c.arg(4);
  PyObject* verify = c.arg(5);

  Ref resolved = or_else(token, [&] {
    Ref empty = empty_text();
    return environ_get(c.globals(), c.global("_ENV_CONNECT_TOKEN").get(), empty.get());
  });
  if (!truthy(resolved)) {
    Ref a = text("connect token required - set ");
    Ref name = format(c.global("_ENV_CONNECT_TOKEN"));
    Ref b = text(" or pass token=");
    raise(cloud_error(c, cat({a.get(), name.get(), b.get()})));
  }
  Ref config = call(c.global("connect_config_from_token"), {resolved.get()});

  // Verification runs before anything is written or claimed, so a failing
  // setup leaves the process exactly as it was.
  if (truthy(verify)) {
    Ref report = call(c.global("doctor"), {resolved.get()}, {{"public_key_hex", public_key_hex}});
    call_method(report, "raise_for_error");
  }

  if (truthy(apply_env)) call(c.global("apply_connect_config"), {config.get()}, {{"overwrite", Py_False}});

  if (truthy(claim) && truthy(attr(config, "is_agent_mode"))) {
    Ref pub_hex = or_else(public_key_hex, [&] { return call(c.global("_resolve_public_key_hex")); });
    if (!truthy(pub_hex)) {
      log(c.globals(), "info",
          "connect token includes agent binding but no public key provided - skip claim (set public_key_hex= or "
          "VOREL_SIGNING_KEY)");
    } else {
      Ref claim_client = new_client(c, "VorelCloudClient", config);
      closing(claim_client, [&] {
        Ref agent_id = or_else(attr(config, "agent_id"), empty_text);
        Ref registration_token = or_else(attr(config, "registration_token"), empty_text);
        return call(c.global("claim_agent"), {claim_client.get()},
                    {{"agent_id", agent_id.get()},
                     {"public_key_hex", pub_hex.get()},
                     {"registration_token", registration_token.get()}});
      });
    }
  }

  return new_client(c, truthy(async_client) ? "AsyncVorelCloudClient" : "VorelCloudClient", config);
}

Ref claim_agent(Call& c) {
  PyObject* client = c.arg(0);
  Ref body = dict();
  check(PyDict_SetItemString(body, "agent_id", c.arg(1)));
  check(PyDict_SetItemString(body, "public_key", c.arg(2)));
  check(PyDict_SetItemString(body, "registration_token", c.arg(3)));

  Ref method = text("POST");
  Ref path = text("agents/claim");
  Ref resp = call_method(client, "_send", {method.get(), path.get()}, {{"json", body.get()}});
  Ref data = call_method(client, "_handle_response", {resp.get()});
  Ref result = call_method(c.global("ClaimAgentResult"), "from_dict", {data.get()});

  Ref extra = dict();
  set_item(extra, "agent_id", attr(result, "agent_id"));
  set_item(extra, "status", attr(result, "status"));
  log(c.globals(), "info", "agent claimed", {}, extra);
  return result;
}

Ref resolve_public_key_hex(Call& c) {
  Ref empty = empty_text();
  Ref explicit_key = environ_get(c.globals(), "VOREL_AGENT_PUBLIC_KEY", empty.get());
  if (truthy(explicit_key)) return call_method(explicit_key, "strip");

  // Only one signing key is ever tried: a set VOREL_SIGNING_KEY hides the
  // issuer key even when it turns out to be unusable.
  Ref signing_hex = or_else(environ_get(c.globals(), "VOREL_SIGNING_KEY"), [&] { return environ_get(c.globals(), "VOREL_ISSUER_KEY", empty.get()); });
  if (truthy(signing_hex)) {
    try {
      Ref signing_key_cls = import_from("vorel_core", "SigningKey");
      Ref stripped = call_method(signing_hex, "strip");
      Ref sk = call_method(signing_key_cls, "from_hex", {stripped.get()});
      Ref raw = call_method(attr(sk, "public_key"), "to_bytes");
      return call_method(raw, "hex");
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_Exception)) rethrow(e);
      Handling scope(e);
      log(c.globals(), "debug", "could not derive public key from signing key: %s", {e.get()});
    }
  }
  return none();
}

// ---- doctor ---------------------------------------------------------------------

Ref resolve_doctor_config(Call& c) {
  PyObject* token = c.arg(0);
  PyObject* api_key = c.arg(1);
  PyObject* base_url = c.arg(2);
  PyObject* checks = c.arg(3);
  Ref empty = empty_text();

  Ref resolved_token = or_else(token, [&] { return environ_get(c.globals(), c.global("_ENV_CONNECT_TOKEN").get(), empty.get()); });
  if (truthy(resolved_token)) {
    Ref config;
    try {
      config = call(c.global("connect_config_from_token"), {resolved_token.get()});
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, c.global("VorelCloudError"))) rethrow(e);
      Handling scope(e);
      Ref message = str(e);
      Ref remediation = text("Generate a fresh Quick Connect token in Vorel Cloud.");
      append_check(c, checks, {text("config").get(), text("error").get(), message.get(), remediation.get()});
      // Deliberately the argument or the built-in default, untouched: a broken
      // token must not silently fall back to another endpoint's variable.
      Ref url = or_else(base_url, [&] { return c.global("_DEFAULT_API_BASE_URL"); });
      return call(c.global("ConnectConfig"), {}, {{"api_base_url", url.get()}, {"api_key", empty.get()}});
    }
    append_check(c, checks, {text("config").get(), text("ok").get(), text("Quick Connect token decoded.").get()});
    return config;
  }

  Ref resolved_key = or_else(api_key, [&] { return environ_get(c.globals(), c.global("_ENV_API_KEY").get(), empty.get()); });
  Ref url_source = or_else(base_url, [&] {
    Ref dflt = c.global("_DEFAULT_API_BASE_URL");
    return environ_get(c.globals(), c.global("_ENV_CONTROL_PLANE_URL").get(), dflt.get());
  });
  Ref slash = text("/");
  Ref resolved_url = call_method(url_source, "rstrip", {slash.get()});

  if (truthy(resolved_key)) {
    Ref a = text("Using Vorel Cloud API at ");
    Ref u = format(resolved_url);
    Ref b = text(".");
    Ref message = cat({a.get(), u.get(), b.get()});
    append_check(c, checks, {text("config").get(), text("ok").get(), message.get()});
  } else {
    Ref token_var = format(c.global("_ENV_CONNECT_TOKEN"));
    Ref key_var = format(c.global("_ENV_API_KEY"));
    Ref a = text("Set ");
    Ref b = text(", set ");
    Ref d = text(", or pass api_key=.");
    Ref remediation = cat({a.get(), token_var.get(), b.get(), key_var.get(), d.get()});
    append_check(c, checks,
                 {text("config").get(), text("error").get(), text("No Vorel Cloud credential found.").get(),
                  remediation.get()});
  }
  return call(c.global("ConnectConfig"), {}, {{"api_base_url", resolved_url.get()}, {"api_key", resolved_key.get()}});
}

Ref probe_health(Call& c) {
  PyObject* client = c.arg(0);
  PyObject* checks = c.arg(1);
  try {
    Ref health = call_method(client, "health");
    Ref ok = text("ok");
    Ref status = str(get(health, "status", ok.get()));
    Ref a = text("Vorel Cloud health check returned ");
    Ref b = text(".");
    Ref message = cat({a.get(), status.get(), b.get()});
    append_check(c, checks, {text("cloud_reachable").get(), ok.get(), message.get()}, health.get());
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_Exception)) rethrow(e);
    Handling scope(e);
    Ref message = str(e);
    Ref remediation = text("Check VOREL_CONTROL_PLANE_URL, network egress, TLS interception, and DNS.");
    append_check(c, checks, {text("cloud_reachable").get(), text("error").get(), message.get(), remediation.get()});
  }
  return none();
}

// The shared shape of the two permission probes: a read that may be refused.
// A 401 means the credential itself is bad (error); anything else refused is
// a permission a least-privileged runtime key may legitimately lack (warning).
template <class Read, class Label>
void probe_permission(const Call& c, PyObject* checks, const char* name, const char* auth_hint, Read&& read,
                      Label&& ok_message) {
  Ref response;
  try {
    response = read();
    Ref message = ok_message(response);
    append_check(c, checks, {text(name).get(), text("ok").get(), message.get()}, response.get());
    return;
  } catch (PyError&) {
    Ref e = take_error();
    Handling scope(e);
    Ref empty_body = dict();
    if (matches(e, c.global("AuthenticationError"))) {
      Ref code = error_attr(e, "status_code");
      Ref unauthorized = integer(401);
      Ref status = text(compare(code, unauthorized, Py_EQ) ? "error" : "warning");
      Ref message = str(e);
      Ref remediation = or_else(error_attr(e, "remediation"), [&] { return text(auth_hint); });
      Ref raw = or_else(error_attr(e, "body"), [&] { return empty_body; });
      append_check(c, checks, {text(name).get(), status.get(), message.get(), remediation.get()}, raw.get());
      return;
    }
    if (matches(e, c.global("VorelCloudError"))) {
      Ref message = str(e);
      Ref remediation = error_attr(e, "remediation");
      Ref raw = or_else(error_attr(e, "body"), [&] { return empty_body; });
      append_check(c, checks, {text(name).get(), text("warning").get(), message.get(), remediation.get()}, raw.get());
      return;
    }
    rethrow(e);
  }
}

Ref probe_tenant(Call& c) {
  probe_permission(
      c, c.arg(1), "tenant_access", "Admin credentials can read tenant details; runtime credentials may not need this.",
      [&] { return call_method(c.arg(0), "get_tenant"); },
      [&](PyObject* tenant) {
        Ref label = or_else(get(tenant, "name"), [&] {
          return or_else(get(tenant, "slug"), [&] { return or_else(get(tenant, "id"), [] { return text("tenant"); }); });
        });
        Ref a = text("Credential can read ");
        Ref shown = str(label);
        Ref b = text(".");
        return cat({a.get(), shown.get(), b.get()});
      });
  return none();
}

Ref probe_approval_policies(Call& c) {
  probe_permission(
      c, c.arg(1), "approval_policy_access",
      "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies.",
      [&] {
        Ref one = integer(1);
        return call_method(c.arg(0), "list_policies", {}, {{"limit", one.get()}});
      },
      [](PyObject*) { return text("Credential can list approval policies."); });
  return none();
}

Ref probe_agent_claim(Call& c) {
  PyObject* client = c.arg(0);
  PyObject* config = c.arg(1);
  PyObject* public_key_hex = c.arg(2);
  PyObject* claim = c.arg(3);
  PyObject* checks = c.arg(4);
  Ref name = text("agent_claim");

  if (!truthy(attr(config, "is_agent_mode"))) {
    append_check(c, checks, {name.get(), text("ok").get(), text("No agent claim required by this configuration.").get()});
    return none();
  }
  Ref pub_hex = or_else(public_key_hex, [&] { return call(c.global("_resolve_public_key_hex")); });
  if (!truthy(pub_hex)) {
    append_check(c, checks,
                 {name.get(), text("warning").get(),
                  text("Quick Connect token includes an agent binding, but no public key was available.").get(),
                  text("Pass public_key_hex=, set VOREL_AGENT_PUBLIC_KEY, or set VOREL_SIGNING_KEY/VOREL_ISSUER_KEY.")
                      .get()});
    return none();
  }
  if (!truthy(claim)) {
    append_check(c, checks,
                 {name.get(), text("warning").get(),
                  text("Agent claim is ready but was not submitted because claim=False.").get(),
                  text("Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are ready to claim "
                       "the agent.")
                      .get()});
    return none();
  }

  try {
    Ref agent_id = or_else(attr(config, "agent_id"), empty_text);
    Ref registration_token = or_else(attr(config, "registration_token"), empty_text);
    Ref result = call(c.global("claim_agent"), {client},
                      {{"agent_id", agent_id.get()},
                       {"public_key_hex", pub_hex.get()},
                       {"registration_token", registration_token.get()}});
    Ref label = str(or_else(attr(result, "agent_id"), [&] { return attr(result, "name"); }));
    Ref a = text("Claimed agent ");
    Ref b = text(".");
    Ref message = cat({a.get(), label.get(), b.get()});
    Ref raw = attr(result, "raw");
    append_check(c, checks, {name.get(), text("ok").get(), message.get()}, raw.get());
    return result;
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, c.global("VorelCloudError"))) rethrow(e);
    Handling scope(e);
    Ref message = str(e);
    Ref remediation = error_attr(e, "remediation");
    Ref raw = or_else(error_attr(e, "body"), dict);
    append_check(c, checks, {name.get(), text("error").get(), message.get(), remediation.get()}, raw.get());
    return none();
  }
}

Ref report(Call& c) {
  PyObject* config = c.arg(0);
  PyObject* checks = c.arg(1);
  PyObject* claimed_agent = c.arg(2);
  bool ok = true;
  Ref it = Ref::steal(PyObject_GetIter(checks));
  while (Ref item = Ref::steal_or_null(PyIter_Next(it))) {
    if (equals_text(attr(item, "status"), "error")) {
      ok = false;
      break;
    }
  }
  if (PyErr_Occurred()) throw_pending();
  Ref ok_value = boolean(ok);
  return call(c.global("BootstrapReport"), {},
              {{"ok", ok_value.get()}, {"config", config}, {"checks", checks}, {"claimed_agent", claimed_agent}});
}

Ref doctor(Call& c) {
  PyObject* token = c.arg(0);
  PyObject* api_key = c.arg(1);
  PyObject* base_url = c.arg(2);
  PyObject* public_key_hex = c.arg(3);
  PyObject* claim = c.arg(4);
  PyObject* apply_env = c.arg(5);

  Ref checks = list();
  Ref config = call(c.global("_resolve_doctor_config"), {token},
                    {{"api_key", api_key}, {"base_url", base_url}, {"checks", checks.get()}});
  if (truthy(apply_env) && truthy(attr(config, "api_key")))
    call(c.global("apply_connect_config"), {config.get()}, {{"overwrite", Py_False}});
  if (!truthy(attr(config, "api_key"))) return call(c.global("_report"), {config.get(), checks.get()});

  Ref client = new_client(c, "VorelCloudClient", config);
  // Every probe runs whatever the earlier ones found: one run shows all that
  // is wrong, not just the first problem.
  Ref claimed = closing(client, [&] {
    call(c.global("_probe_health"), {client.get(), checks.get()});
    call(c.global("_probe_tenant"), {client.get(), checks.get()});
    call(c.global("_probe_approval_policies"), {client.get(), checks.get()});
    return call(c.global("_probe_agent_claim"), {client.get(), config.get()},
                {{"public_key_hex", public_key_hex}, {"claim", claim}, {"checks", checks.get()}});
  });
  return call(c.global("_report"), {config.get(), checks.get()}, {{"claimed_agent", claimed.get()}});
}

// ---- definitions -------------------------------------------------------------

using K = ParamKind;

const Param kToken[] = {{"token", K::positional_or_keyword, nullptr, "str"}};
const Param kApply[] = {{"config", K::positional_or_keyword, nullptr, "ConnectConfig"},
                        {"overwrite", K::keyword_only, "False", "bool"}};
const Param kConnect[] = {{"token", K::positional_or_keyword, "None", "Optional[str]"},
                          {"public_key_hex", K::keyword_only, "None", "Optional[str]"},
                          {"claim", K::keyword_only, "True", "bool"},
                          {"apply_env", K::keyword_only, "True", "bool"},
                          {"async_client", K::keyword_only, "False", "bool"},
                          {"verify", K::keyword_only, "False", "bool"}};
const Param kClaim[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                        {"agent_id", K::keyword_only, nullptr, "str"},
                        {"public_key_hex", K::keyword_only, nullptr, "str"},
                        {"registration_token", K::keyword_only, nullptr, "str"}};
const Param kDoctor[] = {{"token", K::positional_or_keyword, "None", "Optional[str]"},
                         {"api_key", K::keyword_only, "None", "Optional[str]"},
                         {"base_url", K::keyword_only, "None", "Optional[str]"},
                         {"public_key_hex", K::keyword_only, "None", "Optional[str]"},
                         {"claim", K::keyword_only, "False", "bool"},
                         {"apply_env", K::keyword_only, "False", "bool"}};
const Param kResolveDoctor[] = {{"token", K::positional_or_keyword, nullptr, "Optional[str]"},
                                {"api_key", K::keyword_only, nullptr, "Optional[str]"},
                                {"base_url", K::keyword_only, nullptr, "Optional[str]"},
                                {"checks", K::keyword_only, nullptr, "List[BootstrapCheck]"}};
const Param kProbe[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                        {"checks", K::positional_or_keyword, nullptr, "List[BootstrapCheck]"}};
const Param kProbeClaim[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                             {"config", K::positional_or_keyword, nullptr, "ConnectConfig"},
                             {"public_key_hex", K::keyword_only, nullptr, "Optional[str]"},
                             {"claim", K::keyword_only, nullptr, "bool"},
                             {"checks", K::keyword_only, nullptr, "List[BootstrapCheck]"}};
const Param kReport[] = {{"config", K::positional_or_keyword, nullptr, "ConnectConfig"},
                         {"checks", K::positional_or_keyword, nullptr, "List[BootstrapCheck]"},
                         {"claimed_agent", K::keyword_only, "None", "Optional[ClaimAgentResult]"}};

const FuncDef kParseDef{"parse_connect_token",
                        "Decode a Quick Connect token (``vorel_ct_`` + base64url JSON) into its payload.\n\n"
                        "The base64url fill may be left out, and trailing whitespace (a line break) is ignored.\n"
                        "Raises VorelCloudError for a missing prefix, a bad encoding, text that is not UTF-8 JSON,\n"
                        "or a payload without endpoint and API key.",
                        kToken, parse_connect_token, "ConnectTokenPayload"};
const FuncDef kConfigDef{"connect_config_from_token",
                         "Resolve a Quick Connect token into a ConnectConfig (trailing \"/\" removed from the URL).",
                         kToken, connect_config_from_token, "ConnectConfig"};
const FuncDef kApplyDef{"apply_connect_config",
                        "Export a configuration as VOREL_API_KEY, VOREL_CONTROL_PLANE_URL and VOREL_AGENT_ID.\n\n"
                        "A variable that already holds a non-empty value is kept unless ``overwrite`` is true.\n"
                        "The registration token is never exported, and nothing is ever removed. A value the\n"
                        "environment cannot hold (a NUL, a lone surrogate) raises VorelCloudError before\n"
                        "anything is written.",
                        kApply, apply_connect_config, "None"};
const FuncDef kConnectDef{"connect",
                          "Bootstrap a runtime from a Quick Connect token and return a ready client.\n\n"
                          "The token comes from ``token`` or VOREL_CONNECT_TOKEN. With ``verify`` the setup is\n"
                          "checked with doctor() first and nothing happens if it fails. Then the configuration is\n"
                          "exported (``apply_env``) and, for a token with an agent binding and a public key at\n"
                          "hand, the agent identity is claimed (``claim``). The returned client is the caller's.",
                          kConnect, connect, "Union[VorelCloudClient, AsyncVorelCloudClient]"};
const FuncDef kClaimDef{"claim_agent",
                        "Claim an agent identity for a public key (``POST /v1/agents/claim``).\n\n"
                        "Uses the given client and leaves it open.",
                        kClaim, claim_agent, "ClaimAgentResult"};
const FuncDef kResolveKeyDef{"_resolve_public_key_hex",
                             "The agent's public key as hex: VOREL_AGENT_PUBLIC_KEY, else derived from\n"
                             "VOREL_SIGNING_KEY (or VOREL_ISSUER_KEY when that is unset); None when there is none.",
                             {}, resolve_public_key_hex, "Optional[str]"};
const FuncDef kDoctorDef{"doctor",
                         "Check a runtime's cloud bootstrap and report every outcome as a check.\n\n"
                         "Checks the configuration, reachability, authentication, read permissions and the agent\n"
                         "claim. With the defaults it only reads: a claim (``claim``) and the export of the\n"
                         "configuration (``apply_env``) happen only on request. Expected failures become checks\n"
                         "with status \"warning\" or \"error\"; the report is ok when no check is an error.",
                         kDoctor, doctor, "BootstrapReport"};
const FuncDef kResolveDoctorDef{"_resolve_doctor_config",
                                "Resolve the configuration for doctor() and record the \"config\" check.",
                                kResolveDoctor, resolve_doctor_config, "ConnectConfig"};
const FuncDef kHealthDef{"_probe_health", "Record whether the control plane answers its health check.", kProbe,
                         probe_health, "None"};
const FuncDef kTenantDef{"_probe_tenant", "Record whether the credential can read its tenant.", kProbe, probe_tenant,
                         "None"};
const FuncDef kPoliciesDef{"_probe_approval_policies", "Record whether the credential can list approval policies.",
                           kProbe, probe_approval_policies, "None"};
const FuncDef kProbeClaimDef{"_probe_agent_claim",
                             "Record the state of the agent claim, claiming when asked; returns the claim result.",
                             kProbeClaim, probe_agent_claim, "Optional[ClaimAgentResult]"};
const FuncDef kReportDef{"_report", "Build the BootstrapReport: ok unless a check has the status \"error\".", kReport,
                         report, "BootstrapReport"};

void body(Module& m) {
  m.import("base64");
  m.import("json");
  m.import("logging");
  m.import("os");
  m.from_import("typing", {"Any", "List", "Optional", "Union"});
  m.from_relative("client", {"VorelCloudClient", "AsyncVorelCloudClient"});
  m.from_relative("exceptions", {"AuthenticationError", "VorelCloudError"});
  m.from_relative("models",
                  {"BootstrapCheck", "BootstrapReport", "ClaimAgentResult", "ConnectConfig", "ConnectTokenPayload"});
  m.logger("vorel_cloud.connect");

  m.set("_CONNECT_PREFIX", text("vorel_ct_"));
  m.set("_ENV_CONNECT_TOKEN", text("VOREL_CONNECT_TOKEN"));
  m.set("_ENV_API_KEY", text("VOREL_API_KEY"));
  m.set("_ENV_CONTROL_PLANE_URL", text("VOREL_CONTROL_PLANE_URL"));
  m.set("_DEFAULT_API_BASE_URL", text("https://api.vorel.cloud"));

  m.def(kParseDef);
  m.def(kConfigDef);
  m.def(kApplyDef);
  m.def(kConnectDef);
  m.def(kClaimDef);
  m.def(kResolveKeyDef);
  m.def(kDoctorDef);
  m.def(kResolveDoctorDef);
  m.def(kHealthDef);
  m.def(kTenantDef);
  m.def(kPoliciesDef);
  m.def(kProbeClaimDef);
  m.def(kReportDef);
}

}  // namespace

VOREL_MODULE(connect, "Quick Connect bootstrap, agent claim and doctor() diagnostics for Vorel Cloud.", body)
