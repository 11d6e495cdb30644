// Runs one test file under node's test runner; exits 77 (skipped) when the
// file needs playwright-core and `npm ci` has not been run in tests/web.
import {spawnSync} from 'node:child_process';
import {existsSync, readFileSync} from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

const file = path.join(here, process.argv[2]);
const needsBrowser = readFileSync(file, 'utf8').includes("from 'playwright-core'");
if (needsBrowser && !existsSync(path.join(here, 'node_modules/playwright-core'))) {
  console.log('SKIPPED: playwright-core is not installed; run `npm ci` in tests/web');
  process.exit(77);
}
if (needsBrowser && !existsSync(process.env.CHROMIUM || '/usr/bin/chromium')) {
  console.log('SKIPPED: no Chromium at /usr/bin/chromium (Debian package chromium)');
  process.exit(77);
}
if (readFileSync(file, 'utf8').includes('tsl_peer.cjs') &&
    !existsSync(path.join(here, 'node_modules/tsl-umd-v5'))) {
  console.log('SKIPPED: tsl-umd-v5 is not installed; run `npm ci` in tests/web');
  process.exit(77);
}
const run = spawnSync(process.execPath, ['--test', '--test-reporter=tap', file], {stdio: 'inherit'});
process.exit(run.status ?? 1);
