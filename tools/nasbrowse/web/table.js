// A folder's entries as a grid that draws only the rows in view, so that a
// folder of 100,000 entries scrolls as smoothly as one of ten.
import { humanSize, localTime } from "./format.js";

const OVERSCAN = 8;
// Default direction per column: names A to Z, the largest and the newest
// first, folders before files.
const FIRST_DIRECTION = { name: 1, size: -1, time: -1, type: -1 };
const COMPARE = {
  name: (a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0),
  size: (a, b) => a.size - b.size,
  time: (a, b) => a.mtime - b.mtime,
  type: (a, b) => Number(a.folder) - Number(b.folder),
};

export class EntryTable {
  constructor({ grid, viewport, spacer, onOpen, isChecked, onCheck }) {
    Object.assign(this, { grid, viewport, spacer, onOpen, isChecked, onCheck });
    this.items = [];
    this.order = this.items;  // the items as shown
    this.sortKey = null;
    this.direction = 1;
    this.rows = [];
    this.rowHeight = 24;
    this.scheduled = false;
    this.sortedCount = 0;
    this.lastSort = 0;
    this.complete = true;
    viewport.addEventListener("scroll", () => this.schedule());
    new ResizeObserver(() => this.schedule()).observe(viewport);
    grid.querySelectorAll("[data-sort]").forEach((button) =>
      button.addEventListener("click", () => this.sortBy(button.dataset.sort)));
  }

  // A new folder: `items` grows as the listing streams (call grew()).
  show(items, complete) {
    this.items = items;
    this.complete = complete;
    this.sortedCount = -1;
    this.viewport.scrollTop = 0;
    this.resort(true);
    this.schedule();
  }
  grew(complete) {
    this.complete = complete;
    this.schedule();
  }

  sortBy(key) {
    // A column's first click sorts its natural way, the second the other
    // way, the third goes back to the server's order.
    if (this.sortKey !== key) [this.sortKey, this.direction] = [key, FIRST_DIRECTION[key]];
    else if (this.direction === FIRST_DIRECTION[key]) this.direction = -this.direction;
    else this.sortKey = null;
    this.grid.querySelectorAll("[aria-sort]").forEach((header) => {
      const mine = this.sortKey !== null && header.querySelector(`[data-sort="${key}"]`) !== null;
      header.setAttribute("aria-sort", !mine ? "none" : this.direction > 0 ? "ascending" : "descending");
    });
    this.sortedCount = -1;
    this.resort(true);
    this.schedule();
  }

  // Sorting 100,000 entries takes tens of milliseconds: while a listing
  // streams, the order is brought up to date at most a few times a second.
  resort(now) {
    if (!this.sortKey) {
      this.order = this.items;
      return;
    }
    if (this.sortedCount === this.items.length) return;
    if (!now && this.complete === false && performance.now() - this.lastSort < 400) return;
    const compare = COMPARE[this.sortKey];
    const direction = this.direction;
    this.order = this.items.slice().sort((a, b) => direction * compare(a, b) ||
                                          (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
    this.sortedCount = this.items.length;
    this.lastSort = performance.now();
  }

  schedule() {
    if (this.scheduled) return;
    this.scheduled = true;
    requestAnimationFrame(() => {
      this.scheduled = false;
      this.render();
    });
  }

  render() {
    this.resort(false);
    if (this.sortKey && this.sortedCount !== this.items.length) this.schedule();
    const order = this.order;
    const total = this.sortKey ? order.length : this.items.length;
    this.spacer.style.height = `${total * this.rowHeight}px`;
    this.grid.setAttribute("aria-rowcount", String(total + 1));
    const first = Math.max(0, Math.floor(this.viewport.scrollTop / this.rowHeight) - OVERSCAN);
    const count = Math.ceil(this.viewport.clientHeight / this.rowHeight) + 2 * OVERSCAN;
    const last = Math.min(total, first + count);
    while (this.rows.length < last - first) this.rows.push(this.makeRow());
    for (let i = 0; i < this.rows.length; ++i) {
      const row = this.rows[i];
      const index = first + i;
      if (index >= last) {
        row.element.hidden = true;
        continue;
      }
      row.element.hidden = false;
      this.fill(row, order[index], index);
    }
  }

  makeRow() {
    const element = document.createElement("div");
    element.className = "row";
    element.setAttribute("role", "row");
    const cell = (cls) => {
      const span = document.createElement("span");
      span.className = cls;
      span.setAttribute("role", "gridcell");
      element.append(span);
      return span;
    };
    const check = document.createElement("input");
    check.type = "checkbox";
    cell("check").append(check);
    const row = { element, check, type: cell("type"), size: cell("size"), time: cell("time"),
                  name: cell("name"), item: null };
    check.addEventListener("change", () => this.onCheck(row.item, check.checked));
    row.name.addEventListener("click", () => row.item.folder && this.onOpen(row.item));
    element.addEventListener("dblclick", () => row.item.folder && this.onOpen(row.item));
    this.viewport.append(element);
    return row;
  }

  fill(row, item, index) {
    row.element.style.transform = `translateY(${index * this.rowHeight}px)`;
    row.element.setAttribute("aria-rowindex", String(index + 2));
    row.element.classList.toggle("odd", index % 2 === 1);
    if (row.item === item) return;
    row.item = item;
    row.element.classList.toggle("folder", item.folder);
    row.type.textContent = item.folder ? "folder" : "file";
    row.size.textContent = item.folder ? "" : humanSize(item.size);
    row.time.textContent = localTime(item.mtime);
    row.name.textContent = item.folder ? `${item.name}/` : item.name;
    row.name.title = item.name_hex ? `${item.name} (bytes ${item.name_hex})` : item.name;
    row.check.checked = this.isChecked(item);
    row.check.setAttribute("aria-label", `Back up ${item.name}`);
  }

  // After the "to back up" list changed elsewhere.
  refreshChecks() {
    for (const row of this.rows) if (row.item) row.check.checked = this.isChecked(row.item);
  }
}
