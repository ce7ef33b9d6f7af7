// The folder tree, after the WAI-ARIA tree view pattern: one tab stop (the
// focused item), arrow keys to move, open and close, Enter or Space to show
// a folder's entries, Home and End; a click shows the folder and opens it.

export class FolderTree {
  constructor(root, { onSelect, onExpand }) {
    Object.assign(this, { root, onSelect, onExpand });
    this.top = null;
    this.selected = null;
    root.addEventListener("keydown", (event) => this.key(event));
  }

  // A new server: the tree holds its node alone.
  reset(label, data) {
    this.root.replaceChildren();
    this.top = this.makeNode(null, label, data);
    this.root.append(this.top.li);
    this.focus(this.top, false);
    return this.top;
  }

  makeNode(parent, label, data) {
    const li = document.createElement("li");
    li.setAttribute("role", "treeitem");
    li.setAttribute("aria-expanded", "false");
    li.setAttribute("aria-selected", "false");
    li.setAttribute("aria-level", String(parent ? parent.level + 1 : 1));
    li.tabIndex = -1;
    const span = document.createElement("span");
    span.className = "label";
    span.textContent = label;
    li.append(span);
    const node = { parent, label, data, li, group: null, children: [], names: new Map(),
                   expanded: false, leaf: false, level: parent ? parent.level + 1 : 1 };
    span.addEventListener("click", () => {
      this.focus(node, true);
      this.select(node);
      if (!node.expanded) this.expand(node);
    });
    li.addEventListener("focus", () => {});
    return node;
  }

  // Adds the folders `items` (in the order given) under `parent`; returns
  // the new nodes. A name already there is not added twice.
  add(parent, items, labelOf, dataOf) {
    if (!parent.group) {
      parent.group = document.createElement("ul");
      parent.group.setAttribute("role", "group");
      parent.group.hidden = !parent.expanded;
      parent.li.append(parent.group);
    }
    const fragment = document.createDocumentFragment();
    for (const item of items) {
      const label = labelOf(item);
      if (parent.names.has(label)) continue;
      const node = this.makeNode(parent, label, dataOf(item));
      parent.children.push(node);
      parent.names.set(label, node);
      fragment.append(node.li);
    }
    parent.group.append(fragment);
    const size = String(parent.children.length);
    parent.children.forEach((child, i) => {
      child.li.setAttribute("aria-setsize", size);
      child.li.setAttribute("aria-posinset", String(i + 1));
    });
  }

  child(parent, label) { return parent.names.get(label) || null; }

  // The folder's listing ended: without folders it is a leaf.
  loaded(node, failed) {
    node.li.classList.toggle("failed", failed);
    if (node.children.length === 0 && !failed) {
      node.leaf = true;
      node.expanded = false;
      node.li.removeAttribute("aria-expanded");
    }
  }

  expand(node) {
    if (node.leaf) return;
    node.expanded = true;
    node.li.setAttribute("aria-expanded", "true");
    if (node.group) node.group.hidden = false;
    this.onExpand(node);
  }

  collapse(node) {
    if (node.leaf) return;
    node.expanded = false;
    node.li.setAttribute("aria-expanded", "false");
    if (node.group) node.group.hidden = true;
  }

  select(node) {
    if (this.selected) this.selected.li.setAttribute("aria-selected", "false");
    this.selected = node;
    node.li.setAttribute("aria-selected", "true");
    this.onSelect(node);
  }

  // Shows `node`: its ancestors open, it focused (when `move`) and selected.
  reveal(node) {
    for (let up = node.parent; up; up = up.parent) if (!up.expanded) this.expand(up);
    this.focus(node, true);
    this.select(node);
  }

  focus(node, move) {
    for (const li of this.root.querySelectorAll('[role="treeitem"][tabindex="0"]')) li.tabIndex = -1;
    node.li.tabIndex = 0;
    this.focused = node;
    if (move) node.li.focus();
  }

  visible() {
    const out = [];
    const walk = (node) => {
      out.push(node);
      if (node.expanded) node.children.forEach(walk);
    };
    if (this.top) walk(this.top);
    return out;
  }

  key(event) {
    const node = this.focused;
    if (!node) return;
    const list = this.visible();
    const at = list.indexOf(node);
    let target = null;
    switch (event.key) {
      case "ArrowDown": target = list[at + 1]; break;
      case "ArrowUp": target = list[at - 1]; break;
      case "Home": target = list[0]; break;
      case "End": target = list[list.length - 1]; break;
      case "ArrowRight":
        if (!node.leaf && !node.expanded) this.expand(node);
        else target = node.children[0];
        break;
      case "ArrowLeft":
        if (node.expanded) this.collapse(node);
        else target = node.parent;
        break;
      case "Enter":
      case " ":
        this.select(node);
        break;
      default:
        return;
    }
    event.preventDefault();
    if (target) this.focus(target, true);
  }
}
