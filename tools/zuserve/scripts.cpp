// The scripts: each is loaded into every context wrapped in a function of
// its own, called with the request as JSON text, and its answer turned
// into a response.
#include "scripts.h"

#include <cstdio>
#include <vector>

#include <boost/pointer_cast.hpp>
#include <zu/em.h>
#include <zu/socket.h>
#include <zu/url.h>

#include "database.h"
#include "server.h"
#include "static_files.h"

namespace zuserve {

namespace {

// log(text): a line in the server's log at level 2.
shared_ptr<js::IValue> scriptLog(shared_ptr<js::IObject>, TArray<shared_ptr<js::IValue>> const& arguments) {
  String text;
  for (unsigned int i = 0; i < arguments.size(); ++i)
    text += (i ? " " : "") + (arguments[i] ? arguments[i]->toString() : String("undefined"));
  logInfo("script: " + text);
  return js::IUndefined::New();
}

// "a=1&b=x+y" to pairs, decoded.
TArray<StringPair> decodeForm(String const& body) {
  TArray<StringPair> pairs;
  TArray<String> parts = body.tokenise('&');
  for (unsigned int i = 0; i < parts.size(); ++i) {
    unsigned int const eq = parts[i].find('=');
    StringPair pair;
    pair.name = zu::URL::decode(eq == 0xFFFFFFFFu ? parts[i] : parts[i].left(eq));
    pair.value = eq == 0xFFFFFFFFu ? String() : zu::URL::decode(parts[i].mid(eq + 1));
    pairs.append(pair);
  }
  return pairs;
}

// The length of the well-formed UTF-8 sequence at `p` (lead byte from
// 0x80 up), or 0: overlong forms, surrogates, code points past U+10FFFF,
// cut-off sequences and stray continuation bytes are not.
unsigned int utf8Sequence(unsigned char const* p) {
  unsigned char const c = p[0];
  unsigned int length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  for (unsigned int i = 2; i < length; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return length;
}

// `text` as a JSON string literal. UTF-8 passes as it is; a byte that is
// not part of a well-formed sequence becomes U+FFFD: a client's bad bytes
// must not make the script's request unreadable.
void appendJson(std::string& out, String const& text) {
  out += '"';
  for (char const* p = text.cstr(); *p; ++p) {
    unsigned char const c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (unsigned int const n = utf8Sequence(reinterpret_cast<unsigned char const*>(p))) {
      out.append(p, n);
      p += n - 1;
    } else {
      out += "\\ufffd";
    }
  }
  out += '"';
}

// The pairs as a JSON object; the first of several equal names wins.
void appendJson(std::string& out, TArray<StringPair> const& pairs, bool lowerNames) {
  out += '{';
  std::vector<String> seen;
  for (unsigned int i = 0; i < pairs.size(); ++i) {
    String const name = lowerNames ? pairs[i].name.toLower() : pairs[i].name;
    bool duplicate = false;
    for (String const& n : seen) duplicate = duplicate || n == name;
    if (duplicate) continue;
    seen.push_back(name);
    if (seen.size() > 1) out += ',';
    appendJson(out, name);
    out += ':';
    appendJson(out, pairs[i].value);
  }
  out += '}';
}

// Ends the wrapper around a script: its handle() is called through a
// function that takes the request as JSON text and gives the answer as one
// text (status line, header lines, blank line, body), so that a request
// crosses into the engine and back in a single call.
char const* const adapter =
    "return typeof handle !== 'function' ? undefined : function (zuserveRequest) {\n"
    "  var answer = handle(JSON.parse(zuserveRequest));\n"
    "  if (typeof answer === 'string') return '200\\n\\n' + answer;\n"
    "  if (answer === null || typeof answer !== 'object')\n"
    "    throw new TypeError('handle(request) returned neither an object nor a text');\n"
    "  var status = typeof answer.status === 'number' ? answer.status : 200, head = status + '\\n';\n"
    "  var headers = answer.headers && typeof answer.headers === 'object' ? answer.headers : {};\n"
    "  Object.keys(headers).forEach(function (name) {\n"
    "    var value = String(headers[name]);\n"
    "    // A line break would let a value start a header of its own.\n"
    "    var bad = function (text, chars) {\n"
    "      for (var i = 0; i < chars.length; i++) if (text.indexOf(chars[i]) >= 0) return true;\n"
    "      return false;\n"
    "    };\n"
    "    if (!bad(name, '\\r\\n: ') && !bad(value, '\\r\\n')) head += name + ': ' + value + '\\n';\n"
    "  });\n"
    "  return head + '\\n' + (answer.body === undefined || answer.body === null ? '' : String(answer.body));\n"
    "}; })()";

}  // namespace

void ScriptWorker::stop() {
  server_.stopping = true;
  server_.jobsReady.signal();
}

void ScriptWorker::run() {
  js::UseContext use(context_);
  load();
  server_.workersReady.signal();
  Job job;
  while (server_.nextJob(job)) {
    serve(job);
    job = Job();
  }
}

void ScriptWorker::load() {
  shared_ptr<js::IObject> global = context_->global();
  shared_ptr<js::IObject> db = js::IObject::New();
  if (!global || !db) {
    logError("a script context has no global object; its routes answer 500");
    return;
  }
  db->set("query", js::IFunction::New("query", &dbQuery, 1));
  db->set("engine", js::IString::New(databaseEngine));
  global->set("db", db);
  global->set("log", js::IFunction::New("log", &scriptLog, 1));
  for (auto const& route : server_.routes) {
    std::string source;
    if (!readFile(route.second, source)) {
      logError("cannot read the script " + route.second);
      continue;
    }
    // The wrapper stays on the first line, so reports keep the file's lines.
    String const text = "(function () {" + String(source.c_str()) + "\n;" + adapter;
    shared_ptr<js::IScript> script;
    {
      zu::em::CatchError error(reinterpret_cast<void const*>(&js::IScript::compile));
      script = js::IScript::compile(text, route.second, 1);
      if (!script) {
        logError("script " + route.second + " does not compile: " + error.text());
        continue;
      }
    }
    zu::em::CatchError error(script.get());
    shared_ptr<js::IFunction> handler = boost::dynamic_pointer_cast<js::IFunction>(script->eval());
    if (!handler) {
      String const why = error.text();
      logError("script " + route.second + (why.empty() ? String(" defines no handle(request) function") : ": " + why));
      continue;
    }
    handlers_[route.first] = handler;
  }
}

void ScriptWorker::serve(Job& job) {
  http::HttpRequest const& request = job.request;
  http::HttpResponse response;
  auto it = handlers_.find(job.route.cstr());
  if (it == handlers_.end()) {
    server_.error(response, 500, "The script of this route did not load.");
    return server_.finish(job.connection, request, response, job.started);
  }
  std::string json = "{\"method\":";
  appendJson(json, request.method);
  json += ",\"path\":";
  appendJson(json, request.url.getPath());
  json += ",\"query\":";
  appendJson(json, request.url.getQueries(), false);
  json += ",\"headers\":";
  appendJson(json, request.headers.lines, true);
  json += ",\"body\":";
  appendJson(json, request.body);
  bool const isForm =
      request.headers.get("Content-Type", "").startsWith("application/x-www-form-urlencoded", true);
  json += ",\"form\":";
  appendJson(json, isForm ? decodeForm(request.body) : TArray<StringPair>(), false);
  zu::net::ISocket* socket = job.connection->socket();
  json += ",\"remote\":";
  appendJson(json, socket ? socket->remoteAddress().ip.toDotNotation() : String());
  json += '}';

  TArray<shared_ptr<js::IValue>> arguments;
  arguments.append(js::IString::New(String(json.c_str())));
  shared_ptr<js::IValue> result;
  String why;
  {
    zu::em::CatchError error(it->second.get());
    result = it->second->call(arguments);
    if (!result) why = error.text();
  }
  shared_ptr<js::IString> answer = boost::dynamic_pointer_cast<js::IString>(result);
  if (!answer) {
    logError("script " + job.route + " failed: " + (why.empty() ? String("no report") : why));
    context_->gc();
    server_.error(response, 500, "The script of this route failed; the server log tells why.");
    return server_.finish(job.connection, request, response, job.started);
  }
  String const text = answer->value();
  unsigned int line = text.find('\n');
  int const status = text.left(line).toInteger();
  response.code = static_cast<http::HttpStatus::E_Code>(status >= 100 && status <= 599 ? status : 500);
  while (line != 0xFFFFFFFFu) {
    unsigned int const next = text.find('\n', line + 1);
    if (next == 0xFFFFFFFFu || next == line + 1) {
      response.body = next == 0xFFFFFFFFu ? String() : text.mid(next + 1);
      break;
    }
    response.headers.addLine(text.mid(line + 1, next - line - 1));
    line = next;
  }
  server_.finish(job.connection, request, response, job.started);
}

}  // namespace zuserve
