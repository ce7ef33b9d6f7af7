// The API's streamed listing: one JSON object per line, the summary last.

export class ApiError extends Error {}

async function failureOf(response) {
  try {
    const body = await response.json();
    if (body && body.error && body.error.message) return body.error.message;
  } catch (e) { /* not JSON */ }
  return `the daemon answered ${response.status} ${response.statusText}`;
}

// Calls onItems(array) for each batch of items as they come; resolves with
// the summary ({items, folders, files, error}). `query` is already encoded.
export async function streamListing(query, onItems, signal) {
  const response = await fetch(`/api/v1/browse?${query}`, { signal, credentials: "same-origin" });
  if (!response.ok) throw new ApiError(await failureOf(response));
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let pending = "";
  let summary = null;
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    pending += decoder.decode(value, { stream: true });
    const end = pending.lastIndexOf("\n");
    if (end < 0) continue;
    // One parse per read: the lines joined as an array (a line holds no raw
    // line feed: JSON escapes it in a string).
    const batch = JSON.parse(`[${pending.slice(0, end).replaceAll("\n", ",")}]`);
    pending = pending.slice(end + 1);
    if (batch.length && batch[batch.length - 1].summary) summary = batch.pop();
    if (batch.length) onItems(batch);
  }
  if (!summary)
    throw new ApiError("the listing ended without its summary line: the daemon or the " +
                       "connection stopped before the end (see the daemon's log)");
  return summary;
}

export async function fetchExports(server, signal) {
  const response = await fetch(`/api/v1/exports?server=${encodeURIComponent(server)}`,
                               { signal, credentials: "same-origin" });
  if (!response.ok) throw new ApiError(await failureOf(response));
  return response.json();
}
