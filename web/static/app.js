// The web console's page: one script, no libraries. Every text from the listener is put into the
// page with textContent, never as markup.
"use strict";

const state = { user: null, csrf: null, keys: null, keysById: new Map(), sort: "name", sortUp: true, timer: null };

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

function banner(text, good) {
  $("banner-text").textContent = text;
  $("banner").className = good ? "good" : "";
  $("banner").hidden = false;
}
function clearBanner() { $("banner").hidden = true; }

class ApiError extends Error {
  constructor(message, status, body) { super(message); this.status = status; this.body = body || {}; }
}

// Calls the server. Changes carry the CSRF token. A lost session shows the login, a lost listener
// the listener page; other failures come back as ApiError with the server's text.
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
    try { data = await response.json(); } catch (e) { data = { error: "Unreadable reply from orxweb" }; }
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
  if (!response.ok) {
    const rc = data.rc !== undefined ? " (listener rc " + data.rc + ")" : "";
    throw new ApiError((data.error || ("HTTP " + response.status)) + rc, response.status, data);
  }
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
      banner(e.message || String(e));
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

// A modal dialog with a form; resolves with the form's values or null when cancelled.
function ask(title, fields, okText, danger) {
  return new Promise(resolve => {
    const inputs = {};
    const body = el("form", { method: "dialog", id: "dialog-form" }, el("h1", {}, title));
    for (const f of fields) {
      if (f.type === "note") { body.append(el("p", { class: "hint" }, f.text)); continue; }
      let input;
      if (f.type === "select") {
        input = el("select", { name: f.name, id: "dialog-" + f.name });
        for (const option of f.options) input.append(el("option", { value: option, selected: option === f.value }, option));
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
  state.keys = null;
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

const views = { keys: viewKeys, key: viewKey, generate: viewGenerate, import: viewImport, conf: viewConf, log: viewLog, options: viewOptions };

function route() {
  if (!state.user) return;
  const parts = location.hash.replace(/^#\/?/, "").split("/");
  const name = views[parts[0]] ? parts[0] : "keys";
  for (const a of document.querySelectorAll("#nav a")) a.classList.toggle("active", a.dataset.view === name || (name === "key" && a.dataset.view === "keys"));
  clearBanner();
  // A message for the view that follows a change (set before the view changes).
  if (state.flash) { banner(state.flash.text, state.flash.good); state.flash = null; }
  const view = $("view");
  fill(view, el("p", { class: "hint", id: "loading" }, "Loading…"));
  views[name](view, decodeURIComponent(parts[1] || "")).catch(e => {
    if (!(e instanceof ApiError) || (e.status !== 401 && e.status !== 503)) {
      fill(view, el("p", { class: "message", id: "view-error" }, e.message || String(e)));
    }
  });
}

// ---------------------------------------------------------------- keys

function primaryName(key) {
  const ids = kids(kid(key, "userids"), "userid");
  const primary = ids.find(u => yes(u, "primary")) || ids[0];
  return primary ? attr(primary, "name") : "";
}

async function loadKeys(force) {
  if (!state.keys || force) {
    const data = await api("GET", "/api/keys");
    state.keys = kids(data.body, "key");
    state.keysById = new Map(state.keys.map(k => [attr(k, "id").toLowerCase(), k]));
  }
  return state.keys;
}

function badges(key) {
  const list = el("span", {});
  for (const [flag, name] of [["revoked", "revoked"], ["expired", "expired"], ["disabled", "disabled"], ["secret", "secret"], ["hasphotoid", "photo"]])
    if (yes(key, flag)) list.append(el("span", { class: "badge " + name }, name));
  return list;
}

const validityRank = { "Complete": 3, "Marginal": 2, "Invalid": 1 };
function sortKey(key, by) {
  switch (by) {
    case "id": return attr(key, "id").toLowerCase();
    case "created": return attr(key, "creation-time");
    case "validity": return (validityRank[attr(key, "validity")] || 0) + attr(key, "validity");
    default: return primaryName(key).toLowerCase();
  }
}

async function viewKeys(view) {
  const keys = await loadKeys(true);
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
    if (by) th.onclick = () => { state.sortUp = state.sort === by ? !state.sortUp : true; state.sort = by; sort.value = by; render(); };
    headRow.append(th);
  }
  const render = () => {
    const needle = search.value.trim().toLowerCase();
    state.search = search.value;
    let shown = keys.filter(k => !needle || attr(k, "id").toLowerCase().includes(needle) || attr(k, "fingerprint").toLowerCase().includes(needle.replace(/\s/g, "")) ||
      kids(kid(k, "userids"), "userid").some(u => attr(u, "name").toLowerCase().includes(needle)));
    shown = shown.map(k => [sortKey(k, state.sort), k]).sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0) * (state.sortUp ? 1 : -1)).map(p => p[1]);
    for (const th of headRow.children) {
      th.classList.toggle("sorted", th.dataset.sort === state.sort);
      th.classList.toggle("up", th.dataset.sort === state.sort && !state.sortUp);
    }
    const rows = shown.map(k => {
      const row = el("tr", { class: "key-row", "data-id": attr(k, "id") },
        el("td", { class: "mono" }, attr(k, "id")),
        el("td", {}, primaryName(k)),
        el("td", {}, attr(k, "alg") + " " + attr(k, "size")),
        el("td", {}, attr(k, "creation-time")),
        el("td", {}, attr(k, "expiration-time")),
        el("td", {}, attr(k, "validity")),
        el("td", {}, attr(k, "trust")),
        el("td", {}, badges(k)));
      row.onclick = () => { location.hash = "#/key/" + encodeURIComponent(attr(k, "id")); };
      return row;
    });
    fill(body, ...rows);
    count.textContent = shown.length + " of " + keys.length + " keys";
  };
  // Typing re-renders once the keys stop coming, not at every key.
  let pending = null;
  search.oninput = () => { clearTimeout(pending); pending = setTimeout(render, 120); };
  sort.onchange = () => { state.sort = sort.value; state.sortUp = true; render(); };
  fill(view, 
    el("h1", {}, "Keys"),
    el("div", { class: "toolbar" }, search, sort, count),
    keys.length === 0 ? el("p", { class: "hint", id: "no-keys" }, "Your key rings hold no keys yet. Generate a key pair or import keys.") : null,
    el("table", { id: "key-table" }, el("thead", {}, headRow), body));
  render();
  search.focus();
}

function signerLabel(id) {
  const key = state.keysById.get(String(id).toLowerCase());
  return key ? id + " (" + primaryName(key) + ")" : id + " (not in your key rings)";
}

async function viewKey(view, id) {
  await loadKeys(false);
  let key = state.keysById.get(id.toLowerCase());
  if (!key) { await loadKeys(true); key = state.keysById.get(id.toLowerCase()); }
  if (!key) throw new Error("No key " + id + " in your key rings.");
  const props = el("dl", { class: "props" });
  const prop = (name, value, mono) => props.append(el("dt", {}, name), el("dd", { class: mono ? "mono" : null }, value));
  prop("Key ID", attr(key, "idfull") || attr(key, "id"), true);
  prop("Fingerprint", (attr(key, "fingerprint").match(/.{1,4}/g) || []).join(" "), true);
  prop("Algorithm", attr(key, "alg") + (attr(key, "version") ? " (" + attr(key, "version") + ")" : "") + ", " + attr(key, "size") + " bits");
  prop("Created", attr(key, "creation-time"));
  prop("Expires", attr(key, "expiration-time"));
  prop("Validity", attr(key, "validity"));
  prop("Trust", attr(key, "trust"));
  prop("Preferred cipher", attr(key, "cipher"));
  prop("Flags", badges(key));

  const userids = el("ul", { class: "plain", id: "userid-list" });
  for (const u of kids(kid(key, "userids"), "userid")) {
    const sigs = el("ul", { class: "sigs" });
    for (const s of kids(kid(u, "signatures"), "signature")) {
      const flags = ["revoked", "expired"].filter(f => yes(s, f)).join(", ");
      sigs.append(el("li", { class: "signature" }, "signed by " + signerLabel(attr(s, "signer-id")) + ", " + attr(s, "creation-time") +
        (attr(s, "expiration-time") !== "N/A" ? ", expires " + attr(s, "expiration-time") : "") + (flags ? " — " + flags : "") +
        (yes(s, "verified") ? ", verified" : "")));
    }
    const remove = el("button", { type: "button", class: "secondary", title: "Remove this user ID" }, "Remove");
    remove.onclick = () => removeUserID(key, attr(u, "name"), remove);
    userids.append(el("li", {}, el("strong", {}, attr(u, "name")), " ",
      yes(u, "primary") ? el("span", { class: "badge primary" }, "primary") : null,
      attr(u, "type") && attr(u, "type") !== "User ID" ? el("span", { class: "badge" }, attr(u, "type")) : null, " ", remove, sigs));
  }
  const list = (id, items, empty, map) => items.length ? el("ul", { class: "plain", id }, ...items.map(map)) : el("p", { class: "hint", id }, empty);
  const subkeys = list("subkey-list", kids(kid(key, "subkeys"), "subkey"), "No subkeys.", s => el("li", { class: "mono" },
    attr(s, "id") + " · " + attr(s, "size") + " bits · created " + attr(s, "creation-time") + " · expires " + attr(s, "expiration-time"),
    " ", yes(s, "revoked") ? el("span", { class: "badge revoked" }, "revoked") : null, yes(s, "expired") ? el("span", { class: "badge expired" }, "expired") : null));
  const revokers = list("revoker-list", kids(kid(key, "revokers"), "revoker"), "No designated revokers.", r => el("li", { class: "mono" }, signerLabel(attr(r, "id"))));
  const adks = list("adk-list", kids(kid(key, "adks"), "adk"), "No additional decryption keys.", a => el("li", { class: "mono" }, signerLabel(attr(a, "id"))));

  const photo = el("div", { class: "photo", id: "photo" });
  if (yes(key, "hasphotoid")) {
    photo.append(el("p", { class: "hint" }, "Loading the photo…"));
    api("GET", "/api/photo?id=" + encodeURIComponent(attr(key, "id")), undefined, { raw: true })
      .then(r => r.blob()).then(b => fill(photo, el("img", { src: URL.createObjectURL(b), alt: "Photo ID of " + primaryName(key) })))
      .catch(e => fill(photo, el("p", { class: "error-text" }, e.message)));
  } else {
    photo.append(el("p", { class: "hint" }, "No photo ID."));
  }

  const button = (label, id, action, cls) => { const b = el("button", { type: "button", id, class: cls }, label); b.onclick = () => action(key, b); return b; };
  fill(view, 
    el("p", {}, el("a", { href: "#/keys" }, "← All keys")),
    el("h1", { id: "key-title" }, primaryName(key) || attr(key, "id")),
    el("div", { class: "actions" },
      button("Export", "act-export", exportKey), button("Sign", "act-sign", signKey, "secondary"),
      button("Add user ID", "act-userid-add", addUserID, "secondary"), button("Add subkey", "act-subkey", addSubkey, "secondary"),
      button("Revoke", "act-revoke", revokeKey, "secondary"), button("Remove key", "act-remove", removeKey, "danger")),
    el("div", { class: "cards" },
      el("div", { class: "card" }, el("h2", {}, "Properties"), props),
      el("div", { class: "card" }, el("h2", {}, "Photo ID"), photo)),
    el("div", { class: "card" }, el("h2", {}, "User IDs and signatures"), userids),
    el("div", { class: "cards" },
      el("div", { class: "card" }, el("h2", {}, "Subkeys"), subkeys),
      el("div", { class: "card" }, el("h2", {}, "Designated revokers"), revokers),
      el("div", { class: "card" }, el("h2", {}, "Additional decryption keys"), adks)));
}

async function afterChange(message, id) {
  state.keys = null;
  state.flash = { text: message, good: true };
  if (id) { await loadKeys(true); route(); } else if (location.hash !== "#/keys") { location.hash = "#/keys"; } else { route(); }
}

async function exportKey(key, button) {
  const values = await ask("Export " + attr(key, "id"), [
    { name: "armor", type: "select", label: "Format", options: ["armored text", "binary"], value: "armored text" },
    { name: "format", type: "select", label: "Packets", options: ["Complete", "Compatible"], value: "Complete" },
    { name: "private", type: "checkbox", label: "Include the private key", value: false }], "Export");
  if (!values) return;
  if (values.private) {
    const sure = await ask("Export the private key?", [{ type: "note", text: "The file will hold the private key of " + attr(key, "id") + " (protected by its passphrase). Keep it safe." }], "Export with private key", true);
    if (!sure) return;
  }
  const armor = values.armor === "armored text";
  await attempt(async () => {
    const response = await api("POST", "/api/export", form({ id: attr(key, "id"), armor, private: values.private, format: values.format, confirm: values.private ? "yes" : undefined }), { raw: true });
    const disposition = response.headers.get("Content-Disposition") || "";
    const name = (disposition.match(/filename="([^"]+)"/) || [])[1] || "key" + (armor ? ".asc" : ".key");
    download(await response.blob(), name);
    banner("Exported " + attr(key, "id") + " as " + name + ".", true);
  }, button);
}

async function signKey(key, button) {
  const values = await ask("Sign " + attr(key, "id"), [
    { type: "note", text: "Certifies the primary user ID “" + primaryName(key) + "” with one of your keys." },
    { name: "signer", label: "Signing key ID", placeholder: "0x1A2B3C4D", required: true, maxlength: 18 },
    { name: "type", type: "select", label: "Signature type", options: ["Exportable", "Local", "Meta", "Introducer"], value: "Exportable" },
    { name: "depth", type: "number", label: "Trust depth (Meta, Introducer)", value: "0" },
    { name: "regexp", label: "Regular expression (optional)" },
    { name: "expiry", type: "date", label: "Expires (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the signing key" }], "Sign");
  if (!values) return;
  await attempt(async () => {
    await api("POST", "/api/action/sign", form({ id: attr(key, "id"), signer: values.signer, "sig-type": values.type, depth: values.depth, regexp: values.regexp, expiry: values.expiry, passphrase: values.passphrase }));
    await afterChange("Signed " + attr(key, "id") + ".", attr(key, "id"));
  }, button);
}

async function revokeKey(key, button) {
  const values = await ask("Revoke " + attr(key, "id"), [
    { type: "note", text: "A revoked key cannot be used again. This cannot be undone." },
    { name: "revoker", label: "Revoking key ID (empty: the key itself)", maxlength: 18 },
    { name: "passphrase", type: "password", label: "Passphrase of the revoking key" }], "Revoke", true);
  if (!values) return;
  await attempt(async () => {
    await api("POST", "/api/action/revoke", form({ id: attr(key, "id"), revoker: values.revoker, passphrase: values.passphrase }));
    await afterChange("Revoked " + attr(key, "id") + ".", attr(key, "id"));
  }, button);
}

async function addUserID(key, button) {
  const values = await ask("Add a user ID to " + attr(key, "id"), [
    { name: "userid", label: "User ID", placeholder: "Name <name@example.org>", required: true },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Add");
  if (!values) return;
  await attempt(async () => {
    await api("POST", "/api/action/userid-add", form({ id: attr(key, "id"), userid: values.userid, passphrase: values.passphrase }));
    await afterChange("Added the user ID “" + values.userid + "”.", attr(key, "id"));
  }, button);
}

async function removeUserID(key, name, button) {
  const sure = await ask("Remove a user ID", [{ type: "note", text: "Remove “" + name + "” from " + attr(key, "id") + "?" }], "Remove", true);
  if (!sure) return;
  await attempt(async () => {
    await api("POST", "/api/action/userid-remove", form({ id: attr(key, "id"), userid: name }));
    await afterChange("Removed the user ID “" + name + "”.", attr(key, "id"));
  }, button);
}

async function removeKey(key, button) {
  const sure = await ask("Remove " + attr(key, "id") + "?", [
    { type: "note", text: "The key “" + primaryName(key) + "”" + (yes(key, "secret") ? " and its private key" : "") + " will be removed from your key rings. This cannot be undone." }], "Remove key", true);
  if (!sure) return;
  await attempt(async () => {
    await api("POST", "/api/action/remove", form({ id: attr(key, "id"), confirm: "yes" }));
    await afterChange("Removed " + attr(key, "id") + ".");
  }, button);
}

async function addSubkey(key, button) {
  const values = await ask("Add a subkey to " + attr(key, "id"), [
    { name: "size", type: "number", label: "Size in bits", value: "2048", required: true },
    { name: "start", type: "date", label: "Valid from (optional, default today)" },
    { name: "expiry", type: "date", label: "Expires (optional)" },
    { name: "passphrase", type: "password", label: "Passphrase of the key" }], "Continue");
  if (!values) return;
  await generate({ kind: "subkey", id: attr(key, "id"), size: values.size, start: values.start, expiry: values.expiry, passphrase: values.passphrase });
}

// ---------------------------------------------------------------- generation

function generateForm() {
  const field = (label, input) => el("label", {}, label, input);
  const select = (id, options, value) => { const s = el("select", { id, name: id }); for (const o of options) s.append(el("option", { value: o, selected: o === value }, o)); return s; };
  return el("form", { id: "gen-form" },
    el("div", { class: "form-grid" },
      field("User ID", el("input", { id: "gen-name", required: true, maxlength: 1024, placeholder: "Ann Example <ann@example.org>" })),
      field("Key type", select("gen-type", ["RSA", "DSS", "RSA-Legacy"], "RSA")),
      field("Size in bits", el("input", { id: "gen-size", type: "number", min: 1, max: 65535, value: 2048, required: true })),
      field("Preferred cipher", select("gen-cipher", ["AES256", "AES192", "AES128", "CAST5", "3DES", "IDEA", "Twofish"], "AES256")),
      field("Expires (optional)", el("input", { id: "gen-expiry", type: "date" })),
      field("Additional decryption key (optional)", el("input", { id: "gen-adk", maxlength: 18, placeholder: "0x1A2B3C4D" })),
      field("Passphrase", el("input", { id: "gen-pass", type: "password", autocomplete: "new-password", maxlength: 1024 })),
      field("Passphrase again", el("input", { id: "gen-pass2", type: "password", autocomplete: "new-password", maxlength: 1024 }))),
    el("label", { class: "inline" }, el("input", { id: "gen-signonly", type: "checkbox" }), "Signing only (no encryption subkey)"),
    el("div", { class: "actions" }, el("button", { type: "submit", id: "gen-submit" }, "Generate")));
}

async function viewGenerate(view) {
  const area = el("div", { id: "gen-area" });
  const f = generateForm();
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
    try {
      await api("POST", "/api/generate/" + (p.kind === "pair" ? "key-gen" : "subkey-gen"), form(fields));
    } finally {
      clearInterval(tick);
    }
    state.keys = null;
    if (p.kind === "pair") {
      fill(area, el("p", { class: "message good", id: "gen-done" }, "The key pair “" + p.name + "” was generated in " + Math.round((Date.now() - started) / 1000) + " s."),
        el("div", { class: "actions" }, el("a", { href: "#/keys" }, "Show the keys")));
    } else {
      await loadKeys(true);
      state.flash = { text: "Added a " + p.size + "-bit subkey to " + p.id + ".", good: true };
      route();
    }
    return true;
  });
  if (!done && state.user) {
    // Back to the form (a subkey: back to its key), keeping the listener's message in view.
    const message = $("banner").hidden ? "" : $("banner-text").textContent;
    if (p.kind === "pair") { await viewGenerate(view); if (message) banner(message); }
    else { if (message) state.flash = { text: message, good: false }; route(); }
  }
}

// ---------------------------------------------------------------- import

async function viewImport(view) {
  const file = el("input", { type: "file", id: "import-file", accept: ".asc,.key,.pkr,.skr,.txt" });
  const text = el("textarea", { id: "import-text", rows: 10, placeholder: "Paste armoured keys here, header and footer lines included" });
  const result = el("div", { id: "import-result" });
  const go = el("button", { type: "button", id: "import-submit" }, "Import");
  go.onclick = () => attempt(async () => {
    let body;
    if (file.files.length > 0) body = await file.files[0].arrayBuffer();
    else if (text.value.trim()) body = new TextEncoder().encode(text.value);
    else throw new Error("Choose a key file or paste armoured keys first.");
    fill(result, el("p", { class: "hint" }, "Importing…"));
    const data = await api("POST", "/api/import", body);
    state.keys = null;
    const added = data.added || [];
    const summary = added.length ? added.length + " key" + (added.length === 1 ? "" : "s") + " added" : "Nothing new: every key in the file was already there";
    const list = el("ul", { class: "plain", id: "import-added" });
    for (const k of added.slice(0, 500)) {
      const link = el("a", { href: "#/key/" + encodeURIComponent(k.id), class: "mono" }, k.id);
      list.append(el("li", {}, link, " ", k.name));
    }
    fill(result, el("p", { class: "message good", id: "import-summary" }, summary + "."), list,
      added.length > 500 ? el("p", { class: "hint" }, "… and " + (added.length - 500) + " more.") : null);
    file.value = "";
  }, go).then(() => { if (!result.querySelector("#import-summary")) fill(result); });
  fill(view, el("h1", {}, "Import keys"),
    el("p", { class: "hint" }, "A binary or armoured key file (at most 8 MiB), or armoured keys pasted below."),
    el("label", {}, "Key file", file), el("label", {}, "Or paste armoured keys", text), el("div", { class: "actions" }, go), result);
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
  const switches = kids(data.body, "switch").map(s => attr(s, "id"));
  fill(view, el("h1", {}, "Command-line options"),
    el("p", { class: "hint" }, switches.length + " long switches the command-line front end accepts."),
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
