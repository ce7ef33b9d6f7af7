// The browse page: a server box, the folder tree, the entries of the folder
// shown, and the "to back up" list. Everything comes from this daemon's API
// (docs/HTTP-API.md); nothing is fetched from elsewhere.
import { encodeComponent } from "./format.js";
import { ApiError, fetchExports, streamListing } from "./listing.js";
import { EntryTable } from "./table.js";
import { FolderTree } from "./tree.js";

const $ = (id) => document.getElementById(id);
const RECENT_KEY = "nasbrowse.servers";
const CACHED_LISTINGS = 6;

const state = {
  server: "",
  exports: new Set(),
  listings: new Map(),  // query -> listing, the most recent last
  shown: null,          // the listing in the table
  backup: new Map(),    // key -> { server, path, folder }
};

// --- listings -------------------------------------------------------------

// One folder's listing, streamed once and shared by the tree and the table.
function listingOf(node) {
  const query = node.data.query;
  let listing = state.listings.get(query);
  if (listing) {
    state.listings.delete(query);
    state.listings.set(query, listing);
    return listing;
  }
  listing = { node, items: [], summary: null, error: null, done: false, started: performance.now(),
              seconds: 0 };
  state.listings.set(query, listing);
  for (const [key, old] of state.listings) {
    if (state.listings.size <= CACHED_LISTINGS) break;
    if (old.done && old !== state.shown) state.listings.delete(key);
  }
  streamListing(query, (batch) => {
    const folders = [];
    for (const item of batch) {
      listing.items.push(item);
      if (item.folder) folders.push(item);
    }
    if (folders.length) tree.add(node, folders, (item) => item.name, (item) => childData(node, item));
    if (state.shown === listing) {
      table.grew(false);
      statusSoon(listing);
    }
  }).then((summary) => {
    listing.summary = summary;
    if (summary.error) listing.error = summary.error.message +
      (summary.error.code !== null ? ` (error ${summary.error.code})` : "");
  }, (error) => {
    listing.error = error instanceof ApiError ? error.message
                                              : `the listing could not be read: ${error.message}`;
  }).finally(() => {
    listing.done = true;
    listing.seconds = (performance.now() - listing.started) / 1000;
    tree.loaded(node, listing.error !== null);
    if (state.shown === listing) {
      table.grew(true);
      showStatus(listing);
    }
  });
  return listing;
}

function childData(parent, item) {
  const encoded = `${parent.data.encoded}/${encodeComponent(item)}`;
  const path = `${parent.data.path === "/" ? "" : parent.data.path}/${item.name}`;
  return { path, encoded, query: `server=${encodeURIComponent(state.server)}&path=${encoded}` };
}

// While a listing streams its count is shown once a frame, not once a read.
let statusPending = null;
function statusSoon(listing) {
  if (statusPending) return;
  statusPending = requestAnimationFrame(() => {
    statusPending = null;
    if (state.shown === listing && !listing.done) showStatus(listing);
  });
}

function showStatus(listing) {
  const count = listing.items.length.toLocaleString("en");
  if (!listing.done) {
    $("status").textContent = `Listing… ${count} entries so far`;
  } else if (listing.error === null) {
    const s = listing.summary;
    $("status").textContent = `${count} entries (${s.folders.toLocaleString("en")} folders, ` +
                              `${s.files.toLocaleString("en")} files) in ${listing.seconds.toFixed(2)} s`;
  } else {
    $("status").textContent = listing.items.length
      ? `${count} entries came before the failure` : "";
  }
  const error = $("error");
  error.hidden = !(listing.done && listing.error !== null);
  error.textContent = listing.error === null ? "" : listing.error;
}

function showFolder(node) {
  const listing = listingOf(node);
  state.shown = listing;
  $("where").textContent = `${state.server}:${node.data.path}`;
  table.show(listing.items, listing.done);
  showStatus(listing);
}

// --- the tree and the table -----------------------------------------------

const tree = new FolderTree($("tree"), {
  onSelect: showFolder,
  onExpand: (node) => listingOf(node),
});

const table = new EntryTable({
  grid: $("table"),
  viewport: $("viewport"),
  spacer: $("spacer"),
  onOpen: (item) => {
    const parent = state.shown.node;
    const node = tree.child(parent, item.name);
    if (node) tree.reveal(node);
  },
  isChecked: (item) => state.backup.has(keyOf(itemPath(item))),
  onCheck: (item, checked) => {
    const path = itemPath(item);
    if (checked) state.backup.set(keyOf(path), { server: state.server, path, folder: item.folder });
    else state.backup.delete(keyOf(path));
    drawBackup();
  },
});

function itemPath(item) {
  const folder = state.shown.node.data.path;
  return `${folder === "/" ? "" : folder}/${item.name}`;
}

// --- the "to back up" list ------------------------------------------------

const keyOf = (path, server = state.server) => `${server}\u0000${path}`;

function drawBackup() {
  const list = $("backup");
  list.replaceChildren();
  for (const [key, entry] of state.backup) {
    const li = document.createElement("li");
    const remove = document.createElement("button");
    remove.type = "button";
    remove.textContent = "✕";
    remove.setAttribute("aria-label", `Remove ${entry.path}`);
    remove.addEventListener("click", () => {
      state.backup.delete(key);
      drawBackup();
      table.refreshChecks();
    });
    const text = document.createElement("span");
    text.textContent = `${entry.server}:${entry.path}${entry.folder ? "/" : ""}`;
    li.append(remove, text);
    list.append(li);
  }
  $("backup-count").textContent = String(state.backup.size);
}

function backupJson() {
  return JSON.stringify({ selections: [...state.backup.values()] }, null, 2) + "\n";
}

$("copy").addEventListener("click", async () => {
  try {
    await navigator.clipboard.writeText(backupJson());
    $("status").textContent = `Copied ${state.backup.size} paths as JSON`;
  } catch (error) {
    $("status").textContent = `The clipboard refused the copy (${error.message}); use Save as JSON`;
  }
});
$("save").addEventListener("click", () => {
  const url = URL.createObjectURL(new Blob([backupJson()], { type: "application/json" }));
  const link = document.createElement("a");
  link.href = url;
  link.download = "nasbrowse-backup.json";
  link.click();
  setTimeout(() => URL.revokeObjectURL(url), 1000);
});
$("clear").addEventListener("click", () => {
  state.backup.clear();
  drawBackup();
  table.refreshChecks();
});

// --- servers --------------------------------------------------------------

function recentServers() {
  try {
    const list = JSON.parse(localStorage.getItem(RECENT_KEY) || "[]");
    return Array.isArray(list) ? list.filter((s) => typeof s === "string") : [];
  } catch (e) {
    return [];
  }
}

function drawRecent() {
  const servers = recentServers();
  $("servers").replaceChildren(...servers.map((s) => Object.assign(document.createElement("option"), { value: s })));
  $("recent").replaceChildren(...servers.map((s) => {
    const li = document.createElement("li");
    const button = Object.assign(document.createElement("button"), { type: "button", textContent: s });
    button.addEventListener("click", () => browseServer(s));
    li.append(button);
    return li;
  }));
}

function browseServer(server) {
  server = server.trim();
  if (!server) return;
  $("server").value = server;
  localStorage.setItem(RECENT_KEY, JSON.stringify([server, ...recentServers().filter((s) => s !== server)].slice(0, 8)));
  drawRecent();
  state.server = server;
  state.listings.clear();
  state.exports = new Set();
  const top = tree.reset(server, { path: "/", encoded: "", query: `server=${encodeURIComponent(server)}&path=/` });
  tree.expand(top);
  tree.select(top);
  fetchExports(server).then((answer) => {
    if (state.server !== server) return;
    state.exports = new Set(answer.shares);
    markExports(top);
  }, () => { /* the listing says what failed */ });
}

// Exports show in bold; they appear in the tree as their folders come.
function markExports(node) {
  node.li.classList.toggle("export", state.exports.has(node.data.path));
  node.children.forEach(markExports);
}
new MutationObserver(() => { if (state.exports.size && tree.top) markExports(tree.top); })
  .observe($("tree"), { childList: true, subtree: true });

$("server-form").addEventListener("submit", (event) => {
  event.preventDefault();
  browseServer($("server").value);
});
drawRecent();
const asked = new URLSearchParams(location.search).get("server");
if (asked) browseServer(asked);
