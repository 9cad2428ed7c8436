// The run's access token, from the address the server printed: after its `#`, so the browser never
// sends it by itself and it stays in the address across a reload. Every request for process data
// carries it; the server refuses those without it.
const token = new URLSearchParams(location.hash.slice(1)).get("token");

export const hasAccessToken = token !== null;

/** The address of the server's data at `path`, with `query` and the token. */
export function dataUrl(path: string, query: Record<string, string> = {}): string {
  return `${path}?${new URLSearchParams({ ...query, token: token ?? "" }).toString()}`;
}
