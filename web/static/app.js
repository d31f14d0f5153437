// The web console's page: one script, no libraries. Every text from the listener is put into the
// page with textContent, never as markup.
"use strict";

const state = { user: null, csrf: null, list: null, listStale: false, key: null, sort: "name", sortUp: true, timer: null, flash: null };

// ---------------------------------------------------------------- small helpers

function $(id) { return document.getElementById(id); }

// Makes an element: el("td", {class: "mono"}, "text", child, ...).
function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name === "onclick" || name === "onsubmit" || name === "oninput" || name === "onchange") node[name] = value;
    else node.setAttribute(name, value === true ? "" : value);
  }
  for (const child of children) {
    if (child === undefined || child === null || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// Replaces an element's children, leaving out null, undefined and false.
function fill(node, ...children) {
  node.replaceChildren(...children.filter(c => c !== null && c !== undefined && c !== false));
  return node;
}

function attr(element, name, fallback) {
  return element && element.attrs && name in element.attrs ? element.attrs[name] : (fallback === undefined ? "" : fallback);
}
function kids(element, name) {
  return (element && element.children ? element.children : []).filter(c => !name || c.name === name);
}
function kid(element, name) { return kids(element, name)[0] || null; }
function yes(element, name) { return attr(element, name) === "yes"; }

// Dates as the listener writes them; "N/A" (no time) reads "never" for an expiry.
function expiry(text) { return !text || text === "N/A" ? "never" : text; }

// A message in the banner: one sentence, and what the listener said in full under "Details".
function banner(text, good, details) {
  $("banner-text").textContent = text;
  const more = $("banner-details");
  more.hidden = !details;
  $("banner-details-text").textContent = details || "";
  more.open = false;
  $("banner").className = good ? "good" : "";
  $("banner").hidden = false;
}
function clearBanner() { $("banner").hidden = true; }

class ApiError extends Error {
  constructor(message, status, body) { super(message); this.status = status; this.body = body || {}; this.details = this.body.details || ""; }
}

// Reads a response's body, calling progress(bytes, total) as it arrives when the server said how
// large it is (X-Content-Bytes, before compression).
async function readBody(response, progress) {
  const total = Number(response.headers.get("X-Content-Bytes") || 0);
  if (!progress || !total || !response.body) return response.text();
  const reader = response.body.getReader();
  const parts = [];
  let got = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    parts.push(value);
    got += value.length;
    progress(got, total);
  }
  const bytes = new Uint8Array(got);
  let at = 0;
  for (const part of parts) { bytes.set(part, at); at += part.length; }
  return new TextDecoder().decode(bytes);
}

// Calls the server. Changes carry the CSRF token. A lost session shows the login, a lost listener
// the listener page; other failures come back as ApiError with the server's sentence (and the
// listener's whole text as details).
async function api(method, path, body, options) {
  const opts = options || {};
  const headers = {};
  if (method !== "GET" && state.csrf) headers["X-CSRF-Token"] = state.csrf;
  let payload;
  if (body instanceof URLSearchParams) {
    headers["Content-Type"] = "application/x-www-form-urlencoded";
    payload = body.toString();
  } else if (body !== undefined) {
    headers["Content-Type"] = "application/octet-stream";
    payload = body;
  }
  let response;
  try {
    response = await fetch(path, { method, headers, body: payload, credentials: "same-origin", cache: "no-store" });
  } catch (e) {
    throw new ApiError("orxweb cannot be reached: " + e.message, 0);
  }
  if (opts.raw && response.ok) return response;
  let data = {};
  const type = response.headers.get("Content-Type") || "";
  if (type.startsWith("application/json")) {
    try { data = JSON.parse(await readBody(response, response.ok ? opts.progress : null)); } catch (e) { data = { error: "Unreadable reply from orxweb" }; }
  } else if (!response.ok) {
    data = { error: (await response.text()).trim() || ("HTTP " + response.status) };
  }
  if (response.status === 401 && !opts.loginRequest) {
    endSession(data.expired ? "Your session has expired; please log in again." : (data.error || "Please log in."));
    throw new ApiError(data.error || "Not logged in", 401, data);
  }
  if (response.status === 503 && data.listenerDown) {
    showDown(data.error);
    throw new ApiError(data.error, 503, data);
  }
  if (response.status === 502 && data.listenerRefused) {
    showRefused(data.listenerRefused, data.error);
    throw new ApiError(data.error, 502, data);
  }
  if (!response.ok) throw new ApiError(data.error || ("HTTP " + response.status), response.status, data);
  return data;
}

function form(fields) {
  const params = new URLSearchParams();
  for (const [name, value] of Object.entries(fields)) {
    if (value === undefined || value === null) continue;
    params.append(name, typeof value === "boolean" ? (value ? "yes" : "no") : String(value));
  }
  return params;
}

// Runs an action, showing its failure in the banner; returns its result or undefined.
async function attempt(action, button) {
  if (button) button.disabled = true;
  try {
    return await action();
  } catch (e) {
    if (!(e instanceof ApiError) || (e.status !== 401 && !(e.status === 503 && e.body.listenerDown)))
      banner(e.message || String(e), false, e.details);
  } finally {
    if (button) button.disabled = false;
  }
  return undefined;
}

function download(blob, name) {
  const url = URL.createObjectURL(blob);
  const link = el("a", { href: url, download: name });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// A progress bar with a line of text, for anything that takes longer than a moment.
function progressBox(id, text) {
  const bar = el("div", {});
  const line = el("p", { class: "hint", id: id + "-text" }, text);
  const box = el("div", { id, class: "progress-box" }, line, el("div", { class: "progress busy" }, bar));
  return {
    box,
    set(share, message) {
      bar.parentNode.classList.toggle("busy", share === null);
      bar.style.width = share === null ? "" : Math.round(share * 100) + "%";
      if (message) line.textContent = message;
    }
  };
}

function megabytes(bytes) { return (bytes / 1048576).toFixed(1) + " MB"; }

// A modal dialog with a form; resolves with the form's values or null when cancelled. Select
// options are strings or [value, label] pairs.
function ask(title, fields, okText, danger) {
  return new Promise(resolve => {
    const inputs = {};
    const body = el("form", { method: "dialog", id: "dialog-form" }, el("h1", {}, title));
    for (const f of fields) {
      if (f.type === "note") { body.append(el("p", { class: "hint" }, f.text)); continue; }
      let input;
      if (f.type === "select") {
        input = el("select", { name: f.name, id: "dialog-" + f.name });
        for (const option of f.options) {
          const [value, label] = Array.isArray(option) ? option : [option, option];
          input.append(el("option", { value, selected: value === f.value }, label));
        }
      } else if (f.type === "checkbox") {
        input = el("input", { type: "checkbox", name: f.name, id: "dialog-" + f.name, checked: !!f.value });
        body.append(el("label", { class: "inline" }, input, f.label));
        inputs[f.name] = input;
        continue;
      } else {
        input = el("input", { type: f.type || "text", name: f.name, id: "dialog-" + f.name, value: f.value || "",
                              placeholder: f.placeholder, maxlength: f.maxlength || 1024, required: f.required,
                              autocomplete: f.type === "password" ? "new-password" : "off" });
      }
      inputs[f.name] = input;
      body.append(el("label", {}, f.label, input));
    }
    const dialog = el("dialog", { id: "dialog" }, body);
    const cancel = el("button", { type: "button", class: "secondary", id: "dialog-cancel" }, "Cancel");
    const ok = el("button", { type: "submit", class: danger ? "danger" : "", id: "dialog-ok" }, okText || "OK");
    body.append(el("div", { class: "actions" }, ok, cancel));
    document.body.append(dialog);
    const finish = value => { dialog.close(); dialog.remove(); resolve(value); };
    cancel.onclick = () => finish(null);
    dialog.addEventListener("cancel", e => { e.preventDefault(); finish(null); });
    body.onsubmit = e => {
      e.preventDefault();
      const values = {};
      for (const [name, input] of Object.entries(inputs)) values[name] = input.type === "checkbox" ? input.checked : input.value;
      finish(values);
    };
    dialog.showModal();
  });
}

// ---------------------------------------------------------------- session

function showOnly(which) {
  $("login-view").hidden = which !== "login";
  $("down-view").hidden = which !== "down";
  $("refused-view").hidden = which !== "refused";
  $("view").hidden = which !== "app";
  $("nav").hidden = which !== "app";
  $("who").hidden = which !== "app";
}

function endSession(message) {
  state.user = null;
  state.csrf = null;
  state.list = null;
  state.key = null;
  state.search = "";
  if (state.timer) { clearInterval(state.timer); state.timer = null; }
  clearBanner();
  showOnly("login");
  const box = $("login-message");
  box.textContent = message || "";
  box.className = "message info";
  box.hidden = !message;
  $("login-password").value = "";
  $("login-user").focus();
}

function showDown(text) {
  if (state.timer) { clearInterval(state.timer); state.timer = null; }
  state.user = null;
  state.csrf = null;
  clearBanner();
  $("down-text").textContent = text || "The listener does not answer.";
  showOnly("down");
}

// The listener did not prove the host key orxweb pinned, or offers no secure channel: orxweb
// logs nobody in to it.
function showRefused(kind, text) {
  const identity = kind !== "plain";
  $("refused-title").textContent = identity ? "The listener's identity has changed" : "The listener is not secure";
  $("refused-text").textContent = text || "";
  $("refused-identity-hint").hidden = !identity;
  $("refused-plain-hint").hidden = identity;
  showOnly("refused");
}

function startSession(data) {
  state.user = data.user;
  state.csrf = data.csrf;
  $("who-name").textContent = data.user;
  showOnly("app");
  // The server ends idle sessions; asking for the state does not count as use.
  const every = Math.max(1000, Math.min(10000, (data.idleSeconds || 60) * 500));
  if (state.timer) clearInterval(state.timer);
  state.timer = setInterval(() => { api("GET", "/api/session").catch(() => {}); }, every);
  if (!location.hash || location.hash === "#/" || location.hash === "#") location.hash = "#/keys";
  else route();
}

async function login(event) {
  event.preventDefault();
  const button = $("login-submit");
  const box = $("login-message");
  button.disabled = true;
  box.hidden = true;
  try {
    const data = await api("POST", "/api/login", form({ user: $("login-user").value, password: $("login-password").value }), { loginRequest: true });
    $("login-password").value = "";
    startSession(data);
  } catch (e) {
    if (!(e.status === 503 && e.body.listenerDown) && !(e.status === 502 && e.body.listenerRefused)) {
      box.textContent = e.message;
      box.className = "message";
      box.hidden = false;
    }
  } finally {
    button.disabled = false;
  }
}

async function logout() {
  await attempt(() => api("POST", "/api/logout", new URLSearchParams()));
  endSession("You are logged out.");
}

// ---------------------------------------------------------------- routing

const views = { keys: viewKeys, key: viewKey, generate: viewGenerate, import: viewImport, keyserver: viewKeyServer, conf: viewConf, log: viewLog, options: viewOptions };

function route() {
  if (!state.user) return;
  const parts = location.hash.replace(/^#\/?/, "").split("/");
  const name = views[parts[0]] ? parts[0] : "keys";
  for (const a of document.querySelectorAll("#nav a")) a.classList.toggle("active", a.dataset.view === name || (name === "key" && a.dataset.view === "keys"));
  clearBanner();
  // A message for the view that follows a change (set before the view changes).
  if (state.flash) { banner(state.flash.text, state.flash.good, state.flash.details); state.flash = null; }
  const view = $("view");
  fill(view, el("p", { class: "hint", id: "loading" }, "Loading…"));
  views[name](view, decodeURIComponent(parts[1] || "")).catch(e => {
    if (!(e instanceof ApiError) || (e.status !== 401 && e.status !== 503)) {
      fill(view, el("p", { class: "message", id: "view-error" }, e.message || String(e)),
        e.details ? el("details", {}, el("summary", {}, "Details"), el("pre", { class: "details" }, e.details)) : null);
    }
  });
}

// ---------------------------------------------------------------- the key list

// The columns of a list row (orxweb's /api/keys).
const C = { id: 0, idfull: 1, fp: 2, name: 3, others: 4, alg: 5, size: 6, created: 7, expires: 8, validity: 9, trust: 10, flags: 11 };
const ROW_HEIGHT = 32;

// The list as the page holds it: rows by long ID, with a lower-case text per row to search in.
function takeRows(rows) {
  const list = state.list || { version: "", rows: new Map() };
  for (const row of rows) {
    row.search = [row[C.id], row[C.idfull], row[C.fp], row[C.name], row[C.others]].join("\n").toLowerCase();
    list.rows.set(row[C.idfull], row);
  }
  return list;
}

// Brings the list up to date: all of it the first time, then only what changed since the
// version the page holds (nothing when it is current).
async function loadList(progress) {
  const since = state.list ? "?since=" + encodeURIComponent(state.list.version) : "";
  const data = await api("GET", "/api/keys" + since, undefined, { progress });
  if (data.unchanged) { state.listStale = false; return state.list; }
  if (!data.since || !state.list) state.list = null;
  const list = takeRows(data.rows || []);
  for (const gone of data.removed || []) list.rows.delete(gone);
  list.version = data.version;
  state.list = list;
  state.listStale = false;
  return list;
}

function flagBadges(flags) {
  const list = el("span", {});
  for (const [letter, name] of [["r", "revoked"], ["e", "expired"], ["d", "disabled"], ["s", "secret"], ["p", "photo"]])
    if (flags.includes(letter)) list.append(el("span", { class: "badge " + name }, name));
  return list;
}

const validityRank = { "Complete": 3, "Marginal": 2, "Invalid": 1 };
function sortValue(row, by) {
  switch (by) {
    case "id": return row[C.idfull].toLowerCase();
    case "created": return row[C.created];
    case "validity": return (validityRank[row[C.validity]] || 0) + row[C.validity];
    default: return row[C.name].toLowerCase();
  }
}

async function viewKeys(view) {
  const started = performance.now();
  const loading = progressBox("key-loading", "Loading your keys…");
  fill(view, el("h1", {}, "Keys"), loading.box);
  await loadList((got, total) => loading.set(got / total, "Loading your keys… " + megabytes(got) + " of " + megabytes(total)));
  const list = state.list;
  const all = [...list.rows.values()];
  const search = el("input", { type: "search", id: "key-search", placeholder: "Search by name, e-mail, ID or fingerprint", value: state.search || "" });
  const sort = el("select", { id: "key-sort" });
  for (const [value, label] of [["name", "Name"], ["id", "Key ID"], ["created", "Created"], ["validity", "Validity"]])
    sort.append(el("option", { value, selected: state.sort === value }, "Sort by " + label.toLowerCase()));
  const count = el("span", { class: "hint", id: "key-count" });
  const body = el("tbody", { id: "key-rows" });
  const headers = [["Key ID", "id"], ["Name", "name"], ["Type", null], ["Created", "created"], ["Expires", null], ["Validity", "validity"], ["Trust", null], ["", null]];
  const headRow = el("tr", {});
  for (const [label, by] of headers) {
    const th = el("th", { class: by ? "sortable" : null, "data-sort": by }, label);
    if (by) th.onclick = () => { state.sortUp = state.sort === by ? !state.sortUp : true; state.sort = by; sort.value = by; filter(); };
    headRow.append(th);
  }
  const scroller = el("div", { class: "key-scroll", id: "key-scroll" }, el("table", { id: "key-table" }, el("thead", {}, headRow), body));
  let shown = [];
  // Only the rows in sight are made (and a few around them): 7,000 keys scroll as fast as 20.
  // A row that stands for `count` rows out of sight. (Its height is set through the style
  // object: the console's content security policy refuses style attributes.)
  const spacer = count => { const row = el("tr", { class: "spacer" }); row.style.height = count * ROW_HEIGHT + "px"; return row; };
  let painted = "";
  const paint = force => {
    const first = Math.max(0, Math.floor(scroller.scrollTop / ROW_HEIGHT) - 10);
    const last = Math.min(shown.length, first + Math.ceil(scroller.clientHeight / ROW_HEIGHT) + 20);
    // Rows already in place stay (a scroll within them changes nothing).
    if (!force && painted === first + ":" + last) return;
    painted = first + ":" + last;
    const rows = [];
    if (first > 0) rows.push(spacer(first));
    for (let i = first; i < last; ++i) {
      const r = shown[i];
      const row = el("tr", { class: "key-row", "data-id": r[C.idfull] },
        el("td", { class: "mono" }, r[C.idfull]),
        el("td", { title: r[C.name] }, r[C.name]),
        el("td", {}, r[C.alg] + " " + r[C.size]),
        el("td", {}, r[C.created]),
        el("td", {}, expiry(r[C.expires])),
        el("td", {}, r[C.validity]),
        el("td", {}, r[C.trust]),
        el("td", {}, flagBadges(r[C.flags])));
      row.onclick = () => { location.hash = "#/key/" + encodeURIComponent(r[C.idfull]); };
      rows.push(row);
    }
    if (last < shown.length) rows.push(spacer(shown.length - last));
    fill(body, ...rows);
  };
  const filter = () => {
    const needle = search.value.trim().toLowerCase();
    const compact = needle.replace(/[\s:]/g, "").replace(/^0x/, "");
    state.search = search.value;
    shown = all.filter(r => !needle || r.search.includes(needle) || (compact.length >= 8 && r.search.includes(compact)));
    const up = state.sortUp ? 1 : -1;
    const keyed = shown.map(r => [sortValue(r, state.sort), r]);
    keyed.sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0) * up);
    shown = keyed.map(p => p[1]);
    for (const th of headRow.children) {
      th.classList.toggle("sorted", th.dataset.sort === state.sort);
      th.classList.toggle("up", th.dataset.sort === state.sort && !state.sortUp);
    }
    count.textContent = shown.length + " of " + all.length + " keys";
    scroller.scrollTop = 0;
    paint(true);
  };
  let pending = null;
  search.oninput = () => { clearTimeout(pending); pending = setTimeout(filter, 120); };
  sort.onchange = () => { state.sort = sort.value; state.sortUp = true; filter(); };
  scroller.onscroll = () => requestAnimationFrame(() => paint(false));
  fill(view,
    el("h1", {}, "Keys"),
    el("div", { class: "toolbar" }, search, sort, count),
    all.length === 0 ? el("p", { class: "hint", id: "no-keys" }, "Your key rings hold no keys yet. Generate a key pair or import keys.") : null,
    scroller);
  filter();
  view.dataset.shownAfter = String(Math.round(performance.now() - started));
  search.focus();
}

// ---------------------------------------------------------------- one key

// A signer's label: its ID and the name the key list gives it.
function keyLabel(id, names) {
  const name = names && names[id];
  return name ? id + " (" + name + ")" : id + " (not in your key rings)";
}

// What a certification's check found: the listener checks each with its issuer's key.
function checkedState(signature) {
  if (yes(signature, "verified")) return "verified";
  if (yes(signature, "tried")) return "does not verify";
  return "not checked";
}

// Usage letters of a subkey as words.
function usageWords(usage) {
  const words = [];
  if (usage.includes("s")) words.push("signing");
  if (usage.includes("e")) words.push("encryption");
  if (usage.includes("a")) words.push("authentication");
  return words.join(" and ");
}

async function viewKey(view, id) {
  let data = state.key && (state.key.key.attrs.idfull === id || state.key.key.attrs.id === id) ? state.key : null;
  if (!data) {
    data = await api("GET", "/api/key?id=" + encodeURIComponent(id));
    state.key = data;
  }
  renderKey(view, data);
}

function renderKey(view, data) {
  const key = data.key;
  const names = data.names || {};
  const own = data.own || [];
  const idfull = attr(key, "idfull") || attr(key, "id");
  const primary = (kids(kid(key, "userids"), "userid").find(u => yes(u, "primary")) || kids(kid(key, "userids"), "userid")[0]);
  const title = primary ? attr(primary, "name") : idfull;
  const props = el("dl", { class: "props" });
  const prop = (name, value, mono, pid) => props.append(el("dt", {}, name), el("dd", { class: mono ? "mono" : null, id: pid }, value));
  prop("Key ID", idfull, true, "prop-id");
  prop("Short ID", attr(key, "id"), true);
  prop("Fingerprint", (attr(key, "fingerprint").match(/.{1,4}/g) || []).join(" "), true);
  prop("Algorithm", attr(key, "alg") + (attr(key, "version") ? " (" + attr(key, "version") + ")" : "") + ", " + attr(key, "size") + " bits");
  prop("Created", attr(key, "creation-time"));
  prop("Expires", expiry(attr(key, "expiration-time")), false, "prop-expires");
  prop("Validity", attr(key, "validity"));
  prop("Owner trust", attr(key, "trust"), false, "prop-trust");
  prop("Preferred cipher", attr(key, "cipher"));
  const flags = ["revoked", "expired", "disabled", "secret"].filter(f => yes(key, f)).map(f => f[0]).join("") + (yes(key, "hasphotoid") ? "p" : "");
  prop("Flags", flagBadges(flags), false, "prop-flags");

  const secret = yes(key, "secret");
  const userids = el("ul", { class: "plain", id: "userid-list" });
  for (const u of kids(kid(key, "userids"), "userid")) {
    const sigs = el("ul", { class: "sigs" });
    for (const s of kids(kid(u, "signatures"), "signature")) {
      const flagsText = ["revoked", "expired"].filter(f => yes(s, f)).join(", ");
      sigs.append(el("li", { class: "signature" }, "signed by " + keyLabel(attr(s, "signer-id"), names) + ", " + attr(s, "creation-time") +
        (attr(s, "expiration-time") !== "N/A" && attr(s, "expiration-time") ? ", expires " + attr(s, "expiration-time") : "") +
        " — " + checkedState(s) + (flagsText ? ", " + flagsText : "")));
    }
    const name = attr(u, "name");
    const remove = el("button", { type: "button", class: "secondary small", title: "Remove this user ID" }, "Remove");
    remove.onclick = () => removeUserID(key, name, remove);
    const revoke = secret ? el("button", { type: "button", class: "secondary small", title: "Revoke this user ID" }, "Revoke") : null;
    if (revoke) revoke.onclick = () => revokeUserID(key, name, revoke);
    userids.append(el("li", {}, el("strong", {}, name), " ",
      yes(u, "primary") ? el("span", { class: "badge primary" }, "primary") : null,
      attr(u, "type") && attr(u, "type") !== "User ID" ? el("span", { class: "badge" }, attr(u, "type")) : null, " ", remove, " ", revoke, sigs));
  }
  const list = (lid, items, empty, map) => items.length ? el("ul", { class: "plain", id: lid }, ...items.map(map)) : el("p", { class: "hint", id: lid }, empty);
  const subkeys = list("subkey-list", kids(kid(key, "subkeys"), "subkey"), "No subkeys.", s => {
    const revoke = secret && !yes(s, "revoked") ? el("button", { type: "button", class: "secondary small" }, "Revoke") : null;
    if (revoke) revoke.onclick = () => revokeSubkey(key, attr(s, "idfull") || attr(s, "id"), revoke);
    const usage = usageWords(attr(s, "usage"));
    return el("li", { class: "mono subkey" },
      (attr(s, "idfull") || attr(s, "id")) + " · " + (attr(s, "alg") ? attr(s, "alg") + " " : "") + attr(s, "size") + " bits" +
      (usage ? " · " + usage : "") + " · created " + attr(s, "creation-time") + " · expires " + expiry(attr(s, "expiration-time")),
      " ", yes(s, "revoked") ? el("span", { class: "badge revoked" }, "revoked") : null, yes(s, "expired") ? el("span", { class: "badge expired" }, "expired") : null, " ", revoke);
  });
  const revokers = list("revoker-list", kids(kid(key, "revokers"), "revoker"), "No designated revokers.", r => el("li", { class: "mono" }, keyLabel(attr(r, "id"), names)));
  const adks = list("adk-list", kids(kid(key, "adks"), "adk"), "No additional decryption keys.", a => el("li", { class: "mono" }, keyLabel(attr(a, "id"), names)));

  const photo = el("div", { class: "photo", id: "photo" });
  if (yes(key, "hasphotoid")) {
    photo.append(el("p", { class: "hint" }, "Loading the photo…"));
    api("GET", "/api/photo?id=" + encodeURIComponent(idfull), undefined, { raw: true })
      .then(r => r.blob()).then(b => fill(photo, el("img", { src: URL.createObjectURL(b), alt: "Photo ID of " + title })))
      .catch(e => fill(photo, el("p", { class: "error-text" }, e.message)));
  } else {
    photo.append(el("p", { class: "hint" }, "No photo ID."));
  }

  const context = { key, own, names };
  const button = (label, bid, action, cls) => { const b = el("button", { type: "button", id: bid, class: cls }, label); b.onclick = () => action(context, b); return b; };
  const disabled = yes(key, "disabled");
  fill(view,
    el("p", {}, el("a", { href: "#/keys" }, "← All keys")),
    el("h1", { id: "key-title" }, title),
    el("div", { class: "actions" },
      button("Export", "act-export", exportKey), button("Sign", "act-sign", signKey, "secondary"),
      button("Owner trust", "act-trust", setTrust, "secondary"),
      button(disabled ? "Enable" : "Disable", "act-disable", toggleDisabled, "secondary"),
      secret ? button("Add user ID", "act-userid-add", addUserID, "secondary") : null,
      secret ? button("Add subkey", "act-subkey", addSubkey, "secondary") : null,
      secret ? button("Change expiry", "act-expiry", changeExpiry, "secondary") : null,
      secret ? button("Change passphrase", "act-passphrase", changePassphrase, "secondary") : null,
      button("Revoke", "act-revoke", revokeKey, "secondary"), button("Remove key", "act-remove", removeKey, "danger")),
    el("div", { class: "cards" },
      el("div", { class: "card" }, el("h2", {}, "Properties"), props),
      el("div", { class: "card" }, el("h2", {}, "Photo ID"), photo)),
    el("div", { class: "card" }, el("h2", {}, "User IDs and certifications"), userids),
    el("div", { class: "cards" },
      el("div", { class: "card" }, el("h2", {}, "Subkeys"), subkeys),
      el("div", { class: "card" }, el("h2", {}, "Designated revokers"), revokers),
      el("div", { class: "card" }, el("h2", {}, "Additional decryption keys"), adks)));
}

function keyTitle(key) {
  const ids = kids(kid(key, "userids"), "userid");
  const primary = ids.find(u => yes(u, "primary")) || ids[0];
  return primary ? attr(primary, "name") : attr(key, "idfull");
}

// After a change of a key: the answer carries the key as it is now, so the page shows it at
// once; the key list is brought up to date the next time it is shown.
function afterChange(data, message, goToList) {
  state.listStale = true;
  state.key = data && data.keys && data.keys.key ? data.keys : null;
  state.flash = { text: message, good: true };
  if (goToList || !state.key) {
    if (location.hash !== "#/keys") location.hash = "#/keys"; else route();
    return;
  }
  const target = "#/key/" + encodeURIComponent(attr(state.key.key, "idfull"));
  if (location.hash !== target) location.hash = target; else route();
}

// Runs a change of a key from a dialog's values.
async function change(action, fields, message, button, goToList) {
  await attempt(async () => {
    const data = await api("POST", "/api/action/" + action, form(fields));
    afterChange(data, message, goToList);
  }, button);
}

function ownChoices(context) {
  return context.own.map(k => [k[1], k[1] + " — " + (k[2] || "(no user ID)")]);
}

async function exportKey(context, button) {
  const key = context.key;
  const id = attr(key, "idfull");
  const values = await ask("Export " + id, [
    { name: "armor", type: "select", label: "Format", options: ["armored text", "binary"], value: "armored text" },
    { name: "format", type: "select", label: "Packets", options: ["Complete", "Compatible"], value: "Complete" },
    { name: "private", type: "checkbox", label: "Include the private key", value: false }], "Export");
  if (!values) return;
  if (values.private) {
    const sure = await ask("Export the private key?", [{ type: "note", text: "The file will hold the private key of " + id + " (protected by its passphrase). Keep it safe." }], "Export with private key", true);
    if (!sure) return;
  }
  const armor = values.armor === "armored text";
  await attempt(async () => {
    const response = await api("POST", "/api/export", form({ id, armor, private: values.private, format: values.format, confirm: values.private ? "yes" : undefined }), { raw: true });
    const disposition = response.headers.get("Content-Disposition") || "";
    const name = (disposition.match(/filename="([^"]+)"/) || [])[1] || "key" + (armor ? ".asc" : ".key");
    download(await response.blob(), name);
    banner("Exported " + id + " as " + name + ".", true);
  }, button);
}

async function signKey(context, button) {
  const key = context.key;
  const id = attr(key, "idfull");
  const signers = ownChoices(context).filter(c => c[0] !== id);
  if (!signers.length) { banner("You have no key pair of your own to sign with. Generate one first."); return; }
  const values = await ask("Sign " + id, [
    { type: "note", text: "Certifies the primary user ID “" + keyTitle(key) + "” with one of your key pairs." },
    { name: "signer", type: "select", label: "Signing key", options: signers, value: signers[0][0] },
    { name: "type", type: "select", label: "Signature type", options: ["Exportable", "Local", "Meta", "Introducer"], value: "Exportable" },
    { name: "depth", type: "number", label: "Trust depth (Meta, Introducer)", value: "0" },
    { name: "regexp", label: "Regular expression (optional)" },
    { name: "expiry", type: "date", label: "Expires (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the signing key" }], "Sign");
  if (!values) return;
  await change("sign", { id, signer: values.signer, "sig-type": values.type, depth: values.depth, regexp: values.regexp, expiry: values.expiry, passphrase: values.passphrase }, "Signed " + id + ".", button);
}

async function setTrust(context, button) {
  const id = attr(context.key, "idfull");
  const values = await ask("Owner trust of " + id, [
    { type: "note", text: "How far you trust the owner of this key to certify other keys." },
    { name: "trust", type: "select", label: "Owner trust", options: [["Unknown", "Unknown"], ["Never", "Never"], ["Marginal", "Marginal"], ["Complete", "Complete"], ["Ultimate", "Ultimate (your own keys)"]], value: "Unknown" }], "Set");
  if (!values) return;
  await change("trust", { id, trust: values.trust }, "The owner trust of " + id + " is now " + values.trust + ".", button);
}

async function toggleDisabled(context, button) {
  const id = attr(context.key, "idfull");
  const disable = !yes(context.key, "disabled");
  await change(disable ? "disable" : "enable", { id }, (disable ? "Disabled " : "Enabled ") + id + ".", button);
}

async function changeExpiry(context, button) {
  const id = attr(context.key, "idfull");
  const values = await ask("Expiry of " + id, [
    { type: "note", text: "Leave the date empty for a key that never expires." },
    { name: "expiry", type: "date", label: "Expires on" },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Change");
  if (!values) return;
  await change("expiry", { id, expiry: values.expiry, passphrase: values.passphrase },
    "The key " + id + (values.expiry ? " now expires on " + values.expiry : " now never expires") + ".", button);
}

async function changePassphrase(context, button) {
  const id = attr(context.key, "idfull");
  const values = await ask("Passphrase of " + id, [
    { name: "passphrase", type: "password", label: "Current passphrase" },
    { name: "fresh", type: "password", label: "New passphrase" },
    { name: "again", type: "password", label: "New passphrase again" }], "Change");
  if (!values) return;
  if (values.fresh !== values.again) { banner("The two new passphrases differ; nothing was changed."); return; }
  await change("passphrase", { id, passphrase: values.passphrase, "new-passphrase": values.fresh }, "The passphrase of " + id + " was changed.", button);
}

const revocationReasons = [["0", "No reason given"], ["1", "The key was superseded"], ["2", "The key was compromised"], ["3", "The key is no longer used"]];

async function revokeKey(context, button) {
  const id = attr(context.key, "idfull");
  const revokers = ownChoices(context);
  if (!yes(context.key, "secret") && !revokers.length) { banner("You hold no key pair that could revoke this key."); return; }
  const values = await ask("Revoke " + id, [
    { type: "note", text: "A revoked key cannot be used again. This cannot be undone." },
    { name: "revoker", type: "select", label: "Revoke with", options: yes(context.key, "secret") ? [["", "the key itself"], ...revokers.filter(r => r[0] !== id)] : revokers },
    { name: "reason", type: "select", label: "Reason", options: revocationReasons, value: "0" },
    { name: "reasonText", label: "Explanation (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the revoking key" }], "Revoke", true);
  if (!values) return;
  await change("revoke", { id, revoker: values.revoker, reason: values.reason, "reason-text": values.reasonText, passphrase: values.passphrase }, "Revoked " + id + ".", button);
}

async function revokeSubkey(key, subkey, button) {
  const id = attr(key, "idfull");
  const values = await ask("Revoke the subkey " + subkey, [
    { type: "note", text: "The subkey can no longer be used; the key keeps its other parts." },
    { name: "reason", type: "select", label: "Reason", options: revocationReasons, value: "0" },
    { name: "reasonText", label: "Explanation (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Revoke", true);
  if (!values) return;
  await change("subkey-revoke", { id, subkey, reason: values.reason, "reason-text": values.reasonText, passphrase: values.passphrase }, "Revoked the subkey " + subkey + ".", button);
}

async function revokeUserID(key, name, button) {
  const id = attr(key, "idfull");
  const values = await ask("Revoke a user ID", [
    { type: "note", text: "“" + name + "” will be marked as no longer used by the owner of " + id + "." },
    { name: "reason", type: "select", label: "Reason", options: [["0", "No reason given"], ["32", "The user ID is no longer valid"]], value: "32" },
    { name: "reasonText", label: "Explanation (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Revoke", true);
  if (!values) return;
  await change("userid-revoke", { id, userid: name, reason: values.reason, "reason-text": values.reasonText, passphrase: values.passphrase }, "Revoked the user ID “" + name + "”.", button);
}

async function addUserID(context, button) {
  const id = attr(context.key, "idfull");
  const values = await ask("Add a user ID to " + id, [
    { name: "userid", label: "User ID", placeholder: "Name <name@example.org>", required: true },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Add");
  if (!values) return;
  await change("userid-add", { id, userid: values.userid, passphrase: values.passphrase }, "Added the user ID “" + values.userid + "”.", button);
}

async function removeUserID(key, name, button) {
  const id = attr(key, "idfull");
  const sure = await ask("Remove a user ID", [{ type: "note", text: "Remove “" + name + "” from " + id + "?" }], "Remove", true);
  if (!sure) return;
  await change("userid-remove", { id, userid: name }, "Removed the user ID “" + name + "”.", button);
}

async function removeKey(context, button) {
  const id = attr(context.key, "idfull");
  const sure = await ask("Remove " + id + "?", [
    { type: "note", text: "The key “" + keyTitle(context.key) + "”" + (yes(context.key, "secret") ? " and its private key" : "") + " will be removed from your key rings. This cannot be undone." }], "Remove key", true);
  if (!sure) return;
  await change("remove", { id, confirm: "yes" }, "Removed " + id + ".", button, true);
}

async function addSubkey(context, button) {
  const id = attr(context.key, "idfull");
  const values = await ask("Add a subkey to " + id, [
    { name: "size", type: "number", label: "Size in bits", value: "2048", required: true },
    { name: "start", type: "date", label: "Valid from (optional, default today)" },
    { name: "expiry", type: "date", label: "Expires (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Continue");
  if (!values) return;
  await generate({ kind: "subkey", id, size: values.size, start: values.start, expiry: values.expiry, passphrase: values.passphrase });
}

// ---------------------------------------------------------------- generation

// The key types the listener makes (from orxweb, which reads the product's table), with the size
// each starts with.
async function keyTypes() {
  if (!state.keyTypes) state.keyTypes = (await api("GET", "/api/generate/types")).types || [];
  return state.keyTypes;
}

function generateForm(types) {
  const field = (label, input) => el("label", {}, label, input);
  const select = (sid, options, value) => {
    const s = el("select", { id: sid, name: sid });
    for (const o of options) { const [v, l] = Array.isArray(o) ? o : [o, o]; s.append(el("option", { value: v, selected: v === value }, l)); }
    return s;
  };
  const typeSelect = select("gen-type", types.map(t => [t.name, t.label || t.name]), (types[0] || {}).name);
  const size = el("input", { id: "gen-size", type: "number", min: 1, max: 65535, value: (types[0] || {}).size || 2048, required: true });
  typeSelect.onchange = () => { const t = types.find(x => x.name === typeSelect.value); if (t && t.size) size.value = t.size; };
  return el("form", { id: "gen-form" },
    el("div", { class: "form-grid" },
      field("User ID", el("input", { id: "gen-name", required: true, maxlength: 1024, placeholder: "Ann Example <ann@example.org>" })),
      field("Key type", typeSelect),
      field("Size in bits", size),
      field("Preferred cipher", select("gen-cipher", ["AES256", "AES192", "AES128", "CAST5", "3DES", "IDEA", "Twofish"], "AES256")),
      field("Expires (optional)", el("input", { id: "gen-expiry", type: "date" })),
      field("Additional decryption key (optional)", el("input", { id: "gen-adk", maxlength: 64, placeholder: "long ID or fingerprint" })),
      field("Passphrase", el("input", { id: "gen-pass", type: "password", autocomplete: "new-password", maxlength: 1024 })),
      field("Passphrase again", el("input", { id: "gen-pass2", type: "password", autocomplete: "new-password", maxlength: 1024 }))),
    el("label", { class: "inline" }, el("input", { id: "gen-signonly", type: "checkbox" }), "Signing only (no encryption subkey)"),
    el("div", { class: "actions" }, el("button", { type: "submit", id: "gen-submit" }, "Generate")));
}

async function viewGenerate(view) {
  const area = el("div", { id: "gen-area" });
  const f = generateForm(await keyTypes());
  f.onsubmit = e => {
    e.preventDefault();
    if ($("gen-pass").value !== $("gen-pass2").value) { banner("The two passphrases differ."); return; }
    generate({ kind: "pair", name: $("gen-name").value, type: $("gen-type").value, size: $("gen-size").value, cipher: $("gen-cipher").value,
               expiry: $("gen-expiry").value, adk: $("gen-adk").value, signOnly: $("gen-signonly").checked, passphrase: $("gen-pass").value });
  };
  area.append(f);
  fill(view, el("h1", {}, "Generate a key pair"),
    el("p", { class: "hint" }, "The listener makes the key in your key rings. It first asks for randomness from this browser: move the mouse over the pad or type while the bar fills."),
    area);
}

// Gathers `needed` bytes: the browser's random source mixed with the timing and position of the
// user's mouse and key events. Resolves when the bar is full or the user chooses to go on.
function gatherEntropy(area, needed) {
  return new Promise(resolve => {
    const events = [];
    const bar = el("div", {});
    const label = el("span", { id: "entropy-label" }, "0 %");
    const pad = el("div", { class: "entropy-pad", id: "entropy-pad", tabindex: 0 }, "Move the mouse here or type on the keyboard");
    const go = el("button", { type: "button", id: "entropy-skip", class: "secondary" }, "Use the browser's random source for the rest");
    fill(area, el("h2", {}, "Randomness for the new key"),
      el("p", { class: "hint" }, "The listener needs " + needed + " bytes of randomness."), pad, el("div", { class: "progress" }, bar), label, el("div", { class: "actions" }, go));
    const target = Math.max(1, Math.min(needed, 256));
    const finish = () => {
      pad.removeEventListener("mousemove", add);
      document.removeEventListener("keydown", add);
      const bytes = new Uint8Array(needed);
      crypto.getRandomValues(bytes);
      events.forEach((value, i) => { bytes[i % needed] ^= value; });
      resolve(bytes);
    };
    const add = e => {
      const t = Math.floor(performance.now() * 1000);
      events.push((t ^ (e.clientX || 0) * 31 ^ (e.clientY || 0) * 17 ^ (e.keyCode || 0)) & 255);
      const share = Math.min(100, Math.floor(events.length * 100 / target));
      bar.style.width = share + "%";
      label.textContent = share + " %";
      if (events.length >= target) finish();
    };
    pad.addEventListener("mousemove", add);
    document.addEventListener("keydown", add);
    go.onclick = finish;
    pad.focus();
  });
}

function base64(bytes) {
  let text = "";
  for (const b of bytes) text += String.fromCharCode(b);
  return btoa(text);
}

async function generate(p) {
  const view = $("view");
  if (p.kind === "subkey") fill(view, el("h1", {}, "Add a subkey to " + p.id), el("div", { id: "gen-area" }));
  const area = $("gen-area");
  const done = await attempt(async () => {
    const ask1 = p.kind === "pair" ? form({ type: p.type, size: p.size }) : form({ id: p.id, size: p.size });
    const report = await api("POST", "/api/action/entropy-" + (p.kind === "pair" ? "pair" : "subkey"), ask1);
    const needed = Number(attr(report.body, "needed", "0"));
    const entropy = needed > 0 ? await gatherEntropy(area, needed) : new Uint8Array(0);
    const started = Date.now();
    const seconds = el("span", { id: "gen-seconds" }, "0 s");
    fill(area, el("h2", { id: "gen-progress" }, "Generating the key…"), el("div", { class: "progress busy" }, el("div", {})),
      el("p", { class: "hint" }, "This can take from a second to several minutes. Elapsed: ", seconds));
    const tick = setInterval(() => { seconds.textContent = Math.round((Date.now() - started) / 1000) + " s"; }, 500);
    const fields = p.kind === "pair"
      ? { name: p.name, type: p.type, size: p.size, cipher: p.cipher, expiry: p.expiry, adk: p.adk, "sign-only": p.signOnly, passphrase: p.passphrase }
      : { id: p.id, size: p.size, start: p.start, expiry: p.expiry, passphrase: p.passphrase };
    if (needed > 0) { fields.entropy = base64(entropy); fields.needed = needed; }
    let data;
    try {
      data = await api("POST", "/api/generate/" + (p.kind === "pair" ? "key-gen" : "subkey-gen"), form(fields));
    } finally {
      clearInterval(tick);
    }
    state.listStale = true;
    if (p.kind === "pair") {
      const made = data.keys && data.keys.key ? attr(data.keys.key, "idfull") : "";
      if (made) state.key = data.keys;
      fill(area, el("p", { class: "message good", id: "gen-done" }, "The key pair “" + p.name + "” was generated in " + Math.round((Date.now() - started) / 1000) + " s" + (made ? ": " + made : "") + "."),
        el("div", { class: "actions" }, made ? el("a", { href: "#/key/" + encodeURIComponent(made), id: "gen-open" }, "Open the new key") : null, el("a", { href: "#/keys" }, "Show the keys")));
    } else {
      afterChange(data, "Added a " + p.size + "-bit subkey to " + p.id + ".");
    }
    return true;
  });
  if (!done && state.user) {
    // Back to the form (a subkey: back to its key), keeping the listener's message in view.
    const message = $("banner").hidden ? "" : $("banner-text").textContent;
    const details = $("banner-details-text").textContent;
    if (p.kind === "pair") { await viewGenerate(view); if (message) banner(message, false, details); }
    else { if (message) state.flash = { text: message, good: false, details }; state.key = null; route(); }
  }
}

// ---------------------------------------------------------------- import

const UPLOAD_PIECE = 4 * 1048576;

async function viewImport(view) {
  const file = el("input", { type: "file", id: "import-file", accept: ".asc,.key,.pkr,.skr,.gpg,.txt" });
  const text = el("textarea", { id: "import-text", rows: 10, placeholder: "Paste armoured keys here, header and footer lines included" });
  const result = el("div", { id: "import-result" });
  const go = el("button", { type: "button", id: "import-submit" }, "Import");
  go.onclick = () => attempt(async () => {
    let source;
    if (file.files.length > 0) source = file.files[0];
    else if (text.value.trim()) source = new Blob([new TextEncoder().encode(text.value)]);
    else throw new Error("Choose a key file or paste armoured keys first.");
    const bar = progressBox("import-progress", "Sending the file…");
    fill(result, bar.box);
    // The file goes in pieces, then the listener takes it in pieces of whole keys.
    for (let offset = 0; offset < source.size; offset += UPLOAD_PIECE) {
      const piece = await source.slice(offset, offset + UPLOAD_PIECE).arrayBuffer();
      await api("POST", "/api/import/upload?offset=" + offset + "&size=" + source.size, piece);
      bar.set(Math.min(1, (offset + piece.byteLength) / source.size), "Sending the file… " + megabytes(offset + piece.byteLength) + " of " + megabytes(source.size));
    }
    bar.set(null, "Importing…");
    let step;
    do {
      step = await api("POST", "/api/import/run", new URLSearchParams());
      const keys = step.keys ? " keys " + step.keysDone + " of " + step.keys + "," : "";
      bar.set(step.piece / step.pieces, "Importing…" + keys + " part " + step.piece + " of " + step.pieces);
    } while (!step.done);
    state.listStale = true;
    const added = step.added || [];
    const addedCount = step.addedCount || 0;
    const changed = step.changedCount || 0;
    const parts = [];
    if (addedCount) parts.push(addedCount + " key" + (addedCount === 1 ? "" : "s") + " added");
    if (changed) parts.push(changed + " key" + (changed === 1 ? "" : "s") + " changed");
    const summary = parts.length ? parts.join(", ") : "Nothing new: every key in the file was already there";
    const list = el("ul", { class: "plain", id: "import-added" });
    for (const [idfull, name] of added) list.append(el("li", {}, el("a", { href: "#/key/" + encodeURIComponent(idfull), class: "mono" }, idfull), " ", name));
    fill(result, el("p", { class: "message good", id: "import-summary" }, summary + "."),
      step.droppedCertifications ? el("p", { class: "hint" }, "Left out " + step.droppedCertifications + " certifications by keys you do not hold (the newest 100 per user ID are kept).") : null,
      list, addedCount > added.length ? el("p", { class: "hint" }, "… and " + (addedCount - added.length) + " more.") : null);
    file.value = "";
  }, go).then(() => { if (!result.querySelector("#import-summary")) fill(result); });
  fill(view, el("h1", {}, "Import keys"),
    el("p", { class: "hint" }, "A binary or armoured key file (up to 64 MB; a large one goes in parts, with its progress shown), or armoured keys pasted below."),
    el("label", {}, "Key file", file), el("label", {}, "Or paste armoured keys", text), el("div", { class: "actions" }, go), result);
}

// ---------------------------------------------------------------- key server

// Searches the configured key server (or one named here) and fetches the keys chosen. What a
// search lists is the server's description, not checked; fetched keys are checked as imports are.
async function viewKeyServer(view) {
  const pattern = el("input", { type: "search", id: "ks-pattern", maxlength: 256, placeholder: "Name, e-mail address, key ID or fingerprint" });
  const server = el("input", { type: "text", id: "ks-server", placeholder: "Your configured key server (or hkp://HOST[:PORT], hkps://HOST[:PORT])" });
  const found = el("div", { id: "ks-found" });
  const report = el("div", { id: "ks-report" });
  const go = el("button", { type: "submit", id: "ks-search" }, "Search");
  const fetchKeys = (ids, button) => attempt(async () => {
    const bar = progressBox("ks-progress", "Fetching " + ids.length + " key" + (ids.length === 1 ? "" : "s") + "…");
    fill(report, bar.box);
    const data = await api("POST", "/api/keyserver/fetch", form({ ids: ids.join(" "), server: server.value.trim() || null }));
    state.listStale = true;
    const rows = kids(data.body, "key").map(k => el("li", {},
      el("a", { href: "#/key/" + encodeURIComponent(attr(k, "id")), class: "mono" }, attr(k, "id")), " ", attr(k, "userid"), " — ", attr(k, "outcome")));
    fill(report, el("p", { class: "message good", id: "ks-summary" },
      attr(data.body, "new") + " new, " + attr(data.body, "changed") + " changed, " + attr(data.body, "unchanged") + " unchanged."),
      el("ul", { class: "plain", id: "ks-fetched" }, ...rows));
  }, button).then(() => { if (!report.querySelector("#ks-summary")) fill(report); });
  const search = (event) => {
    event.preventDefault();
    if (!pattern.value.trim()) return;
    attempt(async () => {
      fill(found, el("p", { class: "hint", id: "ks-asking" }, "Asking the key server…"));
      fill(report);
      const data = await api("POST", "/api/keyserver/search", form({ pattern: pattern.value.trim(), server: server.value.trim() || null }));
      const keys = kids(data.body, "key");
      if (keys.length === 0) return fill(found, el("p", { class: "hint", id: "ks-none" }, "The key server holds no key for this."));
      const body = el("tbody", { id: "ks-rows" });
      const boxes = [];
      for (const k of keys) {
        const box = el("input", { type: "checkbox", value: attr(k, "id"), "aria-label": "Fetch " + attr(k, "id") });
        boxes.push(box);
        const flags = ["revoked", "expired", "disabled"].filter(f => yes(k, f));
        const names = kids(k, "userid").map(u => el("div", {}, attr(u, "name")));
        const more = Number(attr(k, "more-userids", "0"));
        body.append(el("tr", { class: flags.length ? "failed" : "" }, el("td", {}, box), el("td", { class: "mono" }, attr(k, "id")),
          el("td", {}, attr(k, "alg") + " " + attr(k, "size")), el("td", { class: "mono" }, attr(k, "creation-time")),
          el("td", { class: "mono" }, expiry(attr(k, "expiration-time"))), el("td", {}, flags.join(", ")),
          el("td", {}, ...names, more ? el("div", { class: "hint" }, "… and " + more + " more") : null)));
      }
      const take = el("button", { type: "button", id: "ks-fetch" }, "Fetch the chosen keys");
      take.onclick = () => {
        const ids = boxes.filter(b => b.checked).map(b => b.value);
        if (ids.length === 0) return banner("Choose the keys to fetch first.", false);
        fetchKeys(ids, take);
      };
      fill(found, el("p", { class: "hint", id: "ks-count" }, keys.length + " key" + (keys.length === 1 ? "" : "s") + " found, as the key server describes them (checked only when fetched)."),
        el("table", { id: "ks-table" }, el("thead", {}, el("tr", {}, ...["", "Key", "Algorithm", "Created", "Expires", "State", "User IDs"].map(h => el("th", {}, h)))), body),
        el("div", { class: "actions" }, take));
    }, go).then(() => { if (found.querySelector("#ks-asking")) fill(found); });
  };
  fill(view, el("h1", {}, "Key server"),
    el("p", { class: "hint" }, "Search the organisation's key server and fetch keys into your key ring. Fetched keys keep only what verifies, as imported keys do."),
    el("form", { id: "ks-form", onsubmit: search }, el("label", {}, "Look for", pattern), el("label", {}, "Key server", server), el("div", { class: "actions" }, go)),
    found, report);
}

// ---------------------------------------------------------------- configuration

const boolWords = ["on", "off", "yes", "no", "true", "false", "1", "0"];

function checkValue(type, value) {
  if (type === "boolean") return value === "" || boolWords.includes(value.toLowerCase()) ? "" : "yes or no";
  if (type === "integer") return /^-?\d+$/.test(value) ? "" : "a whole number";
  if (type === "keyid") return /^0x([0-9a-f]{8}|[0-9a-f]{16})$/i.test(value) ? "" : "a key ID like 0x1A2B3C4D";
  return "";
}

async function viewConf(view) {
  const data = await api("GET", "/api/conf");
  const directives = new Map((data.directives || []).map(d => [d.directive.toLowerCase(), d]));
  const policy = data.policy || {};
  const fixed = new Map(Object.entries(policy).map(([k, v]) => [k.toLowerCase(), v]));
  const list = el("datalist", { id: "directive-list" }, ...(data.directives || []).map(d => el("option", { value: d.directive })));
  const aliasBody = el("tbody", { id: "alias-rows" });
  const valueBody = el("tbody", { id: "value-rows" });

  const aliasRow = (code, command) => {
    const remove = el("button", { type: "button", class: "secondary" }, "Remove");
    const row = el("tr", {}, el("td", {}, el("input", { class: "alias-code", value: code, maxlength: 1024 })),
      el("td", {}, el("input", { class: "alias-command", value: command, maxlength: 1024 })), el("td", {}, remove));
    remove.onclick = () => row.remove();
    aliasBody.append(row);
  };
  const valueRow = (directive, value) => {
    const name = el("input", { class: "value-directive", value: directive, list: "directive-list", maxlength: 64 });
    const text = el("input", { class: "value-text", value, maxlength: 1024 });
    const note = el("div", { class: "error-text" });
    const hint = el("td", { class: "hint" });
    const remove = el("button", { type: "button", class: "secondary" }, "Remove");
    const row = el("tr", { class: "value-row" }, el("td", {}, name), el("td", {}, text, note), hint, el("td", {}, remove));
    const check = () => {
      const d = directives.get(name.value.trim().toLowerCase());
      const problem = !name.value.trim() ? "" : !d ? "not a directive" : checkValue(d.type, text.value.trim()) ? "expects " + checkValue(d.type, text.value.trim()) : "";
      note.textContent = problem;
      row.classList.toggle("invalid", !!problem);
      fill(hint, d ? d.type + (d.multi ? ", several allowed" : "") : "");
      const policyValue = d ? fixed.get(d.directive.toLowerCase()) : undefined;
      if (policyValue) hint.append(" ", el("span", { class: "badge fixed", title: "The site policy sets this; your value has no effect." }, "fixed by site policy: " + policyValue.join(", ")));
      return !problem;
    };
    name.oninput = check;
    text.oninput = check;
    remove.onclick = () => row.remove();
    row.check = check;
    valueBody.append(row);
    check();
  };
  const configuration = data.body;
  for (const a of kids(kid(configuration, "aliases"), "alias")) aliasRow(attr(a, "code"), attr(a, "command"));
  for (const v of kids(kid(configuration, "values"))) valueRow(v.name, v.text || "");

  const addAlias = el("button", { type: "button", class: "secondary", id: "conf-add-alias" }, "Add alias");
  addAlias.onclick = () => aliasRow("", "");
  const addValue = el("button", { type: "button", class: "secondary", id: "conf-add-value" }, "Add setting");
  addValue.onclick = () => valueRow("", "");
  const save = el("button", { type: "button", id: "conf-save" }, "Save configuration");
  save.onclick = () => {
    const rows = [...valueBody.querySelectorAll("tr.value-row")];
    if (!rows.every(r => r.check())) { banner("Some settings are not valid; see the marked rows."); return; }
    const params = new URLSearchParams();
    for (const row of aliasBody.querySelectorAll("tr")) {
      const code = row.querySelector(".alias-code").value.trim();
      if (!code) continue;
      params.append("alias-code", code);
      params.append("alias-command", row.querySelector(".alias-command").value.trim());
    }
    for (const row of rows) {
      const directive = row.querySelector(".value-directive").value.trim();
      if (!directive) continue;
      params.append("value-directive", directive);
      params.append("value-text", row.querySelector(".value-text").value.trim());
    }
    attempt(async () => {
      await api("POST", "/api/action/conf-set", params);
      banner("Your configuration was saved.", true);
    }, save);
  };
  const policyNames = Object.keys(policy);
  fill(view, el("h1", {}, "Your configuration"),
    el("p", { class: "hint" }, "Your own layer (~/.zaf/zaf.cfg). Saving sends the whole list: a setting you remove is commented out in the file."),
    data.policyError ? el("p", { class: "message" }, data.policyError) : null,
    el("p", { class: "hint", id: "policy-note" }, policyNames.length ? "The site policy (" + data.policyFile + ") fixes: " + policyNames.join(", ") + "." : "The site policy fixes no settings."),
    list,
    el("h2", {}, "Settings"),
    el("table", { id: "value-table" }, el("thead", {}, el("tr", {}, el("th", {}, "Directive"), el("th", {}, "Value"), el("th", {}, "Kind"), el("th", {}, ""))), valueBody),
    el("div", { class: "actions" }, addValue),
    el("h2", {}, "Aliases"),
    el("table", { id: "alias-table" }, el("thead", {}, el("tr", {}, el("th", {}, "Code"), el("th", {}, "Command"), el("th", {}, ""))), aliasBody),
    el("div", { class: "actions" }, addAlias),
    el("div", { class: "actions" }, save));
}

// ---------------------------------------------------------------- log and options

async function viewLog(view) {
  const data = await api("GET", "/api/log");
  const records = kids(data.body, "transaction");
  const user = el("input", { type: "search", id: "log-user", placeholder: "User" });
  const op = el("input", { type: "search", id: "log-op", placeholder: "Operation" });
  const from = el("input", { type: "date", id: "log-from", title: "From" });
  const to = el("input", { type: "date", id: "log-to", title: "To" });
  const result = el("select", { id: "log-result" }, el("option", { value: "" }, "Any result"), el("option", { value: "ok" }, "Succeeded"), el("option", { value: "failed" }, "Failed"));
  const count = el("span", { class: "hint", id: "log-count" });
  const body = el("tbody", { id: "log-rows" });
  const render = () => {
    const u = user.value.trim().toLowerCase();
    const o = op.value.trim().toLowerCase();
    const shown = records.filter(r => (!u || attr(r, "username").toLowerCase().includes(u)) && (!o || attr(r, "op").toLowerCase().includes(o)) &&
      (!from.value || attr(r, "start").slice(0, 10) >= from.value) && (!to.value || attr(r, "start").slice(0, 10) <= to.value) &&
      (!result.value || (result.value === "ok") === (attr(r, "rc") === "0")));
    fill(body, ...shown.slice(-2000).reverse().map(r => el("tr", { class: attr(r, "rc") === "0" ? "" : "failed" },
      el("td", { class: "mono" }, attr(r, "start")), el("td", { class: "mono" }, attr(r, "end")), el("td", {}, attr(r, "username")),
      el("td", {}, attr(r, "op")), el("td", { class: "mono" }, attr(r, "cmdline")), el("td", {}, attr(r, "rc")))));
    count.textContent = shown.length + " of " + records.length + " records" + (shown.length > 2000 ? " (newest 2000 shown)" : "");
  };
  for (const input of [user, op, from, to, result]) { input.oninput = render; input.onchange = render; }
  fill(view, el("h1", {}, "Transaction log"),
    el("div", { class: "toolbar" }, user, op, el("label", { class: "inline" }, "from", from), el("label", { class: "inline" }, "to", to), result, count),
    records.length === 0 ? el("p", { class: "hint", id: "log-empty" }, "The log holds no records (or no log file is configured).") : null,
    el("table", { id: "log-table" }, el("thead", {}, el("tr", {}, ...["Start", "End", "User", "Operation", "Command line", "Result"].map(h => el("th", {}, h)))), body));
  render();
}

async function viewOptions(view) {
  const data = await api("GET", "/api/options");
  // Switches this build refuses (orxweb asks the command engine) are not offered.
  const refused = new Set(data.refused || []);
  const switches = kids(data.body, "switch").map(s => attr(s, "id")).filter(s => !refused.has(s));
  fill(view, el("h1", {}, "Command-line options"),
    el("p", { class: "hint", id: "option-count" }, switches.length + " long switches the command-line front end accepts" +
      (refused.size ? " (" + refused.size + " more that this build refuses are left out)." : ".")),
    el("ul", { class: "plain mono", id: "option-list", style: null }, ...switches.map(s => el("li", {}, s))));
}

// ---------------------------------------------------------------- start

document.addEventListener("DOMContentLoaded", () => {
  $("login-form").onsubmit = login;
  $("logout").onclick = logout;
  $("banner-close").onclick = clearBanner;
  $("down-retry").onclick = () => endSession("");
  $("refused-back").onclick = () => endSession("");
  window.addEventListener("hashchange", route);
  api("GET", "/api/session", undefined, { loginRequest: true }).then(startSession)
    .catch(e => { if (!(e.status === 503 && e.body.listenerDown)) endSession(e.body && e.body.expired ? "Your session has expired; please log in again." : ""); });
});
