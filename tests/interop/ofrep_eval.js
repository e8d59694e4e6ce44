// Reads the flags of `orvexp serve` through the OpenFeature JavaScript server SDK and its
// OFREP provider: every value type, a missing flag, a type mismatch, and 200 units'
// reads of an experiment flag, which must split as the weights say and leave exactly one
// exposure per unit in the collector's store.
// Usage: node ofrep_eval.js ORVEXP WORK PAYLOAD (NODE_PATH: the installed packages)
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const assert = require('assert');
const { OpenFeature } = require('@openfeature/server-sdk');
const { OFREPProvider } = require('@openfeature/ofrep-provider');

const [orvexp, work, payloadFile] = process.argv.slice(2);
const units = 200;

// The exact binomial interval [lo, hi] outside which a count of `n` draws of
// probability `p` falls with probability at most `alpha` (each tail alpha / 2). The
// probabilities are summed term by term: with n = 200 no term underflows a double.
function binomialBounds(n, p, alpha) {
  const pmf = [Math.pow(1 - p, n)];
  for (let k = 0; k < n; k++) pmf.push((pmf[k] * (n - k) * p) / ((k + 1) * (1 - p)));
  let lo = 0;
  for (let below = 0; below + pmf[lo] <= alpha / 2; lo++) below += pmf[lo];
  let hi = n;
  for (let above = 0; above + pmf[hi] <= alpha / 2; hi--) above += pmf[hi];
  return [lo, hi];
}

// `orvexp serve` on a free port; resolves with the process and its URL, which it prints
// on its first line once it listens.
function startServer(dir, store) {
  const server = spawn(orvexp, ['serve', '--dir', dir, '--port', '0', '--quiet', '--events', store],
                       { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    server.on('error', reject);
    server.on('exit', (code) => reject(new Error('orvexp serve exited with ' + code)));
    readline.createInterface({ input: server.stdout }).once('line', (line) => {
      const url = (line.match(/http:\/\/[0-9.:]+/) || [])[0];
      if (!url) reject(new Error('no URL in: ' + line));
      resolve({ server, url });
    });
  });
}

async function main() {
  const dir = path.join(work, 'payloads');
  fs.mkdirSync(path.join(dir, 'shop'), { recursive: true });
  fs.copyFileSync(payloadFile, path.join(dir, 'shop', 'ki_feature.json'));
  const store = path.join(work, 'ofrep-events.sqlite3');
  for (const suffix of ['', '-wal', '-shm']) fs.rmSync(store + suffix, { force: true });
  const { server, url } = await startServer(dir, store);
  try {
    // The application by path prefix in the base URL; another client names it by header.
    await OpenFeature.setProviderAndWait(new OFREPProvider({ baseUrl: url + '/apps/shop' }));
    await OpenFeature.setProviderAndWait('by-header', new OFREPProvider({
      baseUrl: url, headers: { 'X-Orv-App': 'shop' } }));
    const client = OpenFeature.getClient();
    const context = { targetingKey: 'reader' };
    assert.strictEqual(await client.getStringValue('title', '-', context), 'Welcome');
    assert.strictEqual(await client.getNumberValue('limit', 0, context), 20);
    assert.strictEqual(await client.getNumberValue('ratio', 0, context), 0.25);
    assert.strictEqual(await client.getBooleanValue('enabled', false, context), true);
    assert.deepStrictEqual(await client.getObjectValue('theme', {}, context),
                           { dark: true, accent: 'teal' });
    assert.strictEqual(
      await OpenFeature.getClient('by-header').getNumberValue('limit', 0, context), 20);
    const missing = await client.getStringDetails('nothing', 'fallback', context);
    assert.strictEqual(missing.value, 'fallback');
    assert.strictEqual(missing.errorCode, 'FLAG_NOT_FOUND');
    const mismatch = await client.getNumberDetails('title', 7, context);
    assert.strictEqual(mismatch.value, 7);
    assert.strictEqual(mismatch.errorCode, 'TYPE_MISMATCH');

    // Each unit reads the experiment flag twice: the second read stores nothing new.
    const groupOf = new Map();
    for (let round = 0; round < 2; round++) {
      for (let i = 0; i < units; i++) {
        const unit = 'unit-' + i;
        const d = await client.getStringDetails('button_color', '-', { targetingKey: unit });
        assert.strictEqual(d.reason, 'SPLIT', JSON.stringify(d));
        assert.strictEqual(d.value, d.variant === 'control' ? 'grey' : 'green');
        assert.strictEqual(d.flagMetadata.experiment_id, 'checkout-button');
        assert.strictEqual(d.flagMetadata.is_control_group, d.variant === 'control');
        if (round === 1) assert.strictEqual(d.variant, groupOf.get(unit), unit + ' moved');
        groupOf.set(unit, d.variant);
      }
    }
    const control = [...groupOf.values()].filter((g) => g === 'control').length;
    // Weights 30 : 70; a count outside happens by chance with probability 1e-6 at most.
    const [lo, hi] = binomialBounds(units, 0.3, 1e-6);
    assert.ok(control >= lo && control <= hi,
              `${control} of ${units} units in control, outside [${lo}, ${hi}]`);

    const exported = spawnSync(orvexp, ['events', 'export', '--events', store], { encoding: 'utf8' });
    assert.strictEqual(exported.status, 0, exported.stderr);
    const events = exported.stdout.split('\n').filter((l) => l).map((l) => JSON.parse(l));
    const perUnit = new Map();
    for (const e of events) {
      assert.strictEqual(e.name, 'zu_experiment_exposure');
      assert.strictEqual(e.app_id, 'shop');
      perUnit.set(e.context.unit, (perUnit.get(e.context.unit) || 0) + 1);
      assert.strictEqual(e.properties['#experiment_group_id'], groupOf.get(e.context.unit));
    }
    assert.strictEqual(events.length, units, `${events.length} exposures stored`);
    assert.strictEqual(perUnit.size, units);
    console.log(`ofrep interop: every type read, ${control}/${units} units in control ` +
                `(bounds [${lo}, ${hi}]), one exposure per unit stored`);
  } finally {
    await OpenFeature.close();
    server.removeAllListeners('exit');
    server.kill('SIGTERM');
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
