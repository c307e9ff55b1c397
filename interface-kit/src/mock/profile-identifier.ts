// The native side turns a profile identifier or a file name into one folder
// or file name, and refuses anything that could not be one on Windows.

const reservedDeviceNames = /^(con|prn|aux|nul|com[1-9]|lpt[1-9])$/i;

export function isPortablePathComponent(name: string): boolean {
  if (name === '' || name === '.' || name === '..') return false;
  for (const character of name) {
    const code = character.codePointAt(0)!;
    if (code < 0x20 || code === 0x7f || '/\\:"<>|?*'.includes(character)) return false;
  }
  if (name.endsWith('.') || name.endsWith(' ')) return false;
  // "NUL.txt" is the device as much as "NUL".
  const stem = name.split('.')[0]!;
  return !reservedDeviceNames.test(stem);
}
