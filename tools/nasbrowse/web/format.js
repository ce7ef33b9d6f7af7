// Sizes as `ls -h` writes them and times in the browser's time zone.

const UNITS = "KMGTPE";

export function humanSize(bytes) {
  if (bytes < 1024) return String(bytes);
  let value = bytes / 1024;
  for (let unit = 0; ; ++unit) {
    // Rounded up, so that a size is never shown smaller than it is.
    const shown = value < 10 ? Math.ceil(value * 10) / 10 : Math.ceil(value);
    if (shown < 1024 || unit === UNITS.length - 1)
      return (shown < 10 ? shown.toFixed(1) : shown.toFixed(0)) + UNITS[unit];
    value /= 1024;
  }
}

const two = (n) => String(n).padStart(2, "0");

export function localTime(seconds) {
  if (!seconds) return "-";
  const t = new Date(seconds * 1000);
  return `${t.getFullYear()}-${two(t.getMonth() + 1)}-${two(t.getDate())} ` +
         `${two(t.getHours())}:${two(t.getMinutes())}:${two(t.getSeconds())}`;
}

// A path component for the API: the name's bytes, percent-encoded (from
// name_hex when the name is not valid UTF-8).
export function encodeComponent(item) {
  if (item.name_hex) return item.name_hex.replace(/../g, "%$&");
  return encodeURIComponent(item.name);
}
