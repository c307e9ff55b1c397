// Puts exports in place of a module for everything required afterwards, the
// way jest.mock does: the interface's code (here the example) runs unchanged
// against the mock or against the real program.
import type {TestContext} from 'node:test';

export function standIn(t: TestContext, specifier: string, exports: object): void {
  const resolved = require.resolve(specifier);
  const previous = require.cache[resolved];
  require.cache[resolved] = {id: resolved, filename: resolved, loaded: true, exports} as NodeJS.Module;
  t.after(() => {
    if (previous) require.cache[resolved] = previous;
    else delete require.cache[resolved];
  });
}

// A fresh copy of the module at `file`, bound to whatever stands in at this moment.
export function freshRequire<Module>(t: TestContext, file: string): Module {
  const resolved = require.resolve(file);
  delete require.cache[resolved];
  t.after(() => delete require.cache[resolved]);
  // eslint-disable-next-line @typescript-eslint/no-require-imports
  return require(resolved) as Module;
}
