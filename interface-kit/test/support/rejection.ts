// What a rejected native call gave: an Error with the sentence, a code and
// userInfo, as React Native builds it.
import assert from 'node:assert/strict';

import {isNativeModuleError} from '../../src/errors';

export async function rejection(promise: Promise<unknown>): Promise<{message: string; code: string; userInfo: unknown}> {
  try {
    await promise;
  } catch (error) {
    assert.ok(isNativeModuleError(error), `not a native module error: ${error}`);
    return {message: error.message, code: error.code, userInfo: error.userInfo};
  }
  assert.fail('the call resolved');
}
