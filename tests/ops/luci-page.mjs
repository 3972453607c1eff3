// Drives the Lumagate page of LuCI in Debian's headless Chromium, over the
// DevTools protocol on a pipe (no port opens), and checks the router behind
// it after each step. Run inside the rig by scripts/test-luci:
//   node tests/ops/luci-page.mjs ROUTER-ROOT OUT-DIR
// LUCI_LOGIN is root's password, CLIENT_PASSWORD the simulator's. OUT-DIR
// gets page.png and chromium.log.
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, openSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [ root, out ] = process.argv.slice(2);
const { LUCI_LOGIN: login, CLIENT_PASSWORD: password } = process.env;
const site = 'http://127.0.0.1:8080/cgi-bin/luci';
const sleep = ms => new Promise(done => setTimeout(done, ms));
const rig = command => execFileSync('chroot', [ root, '/bin/sh', '-c', command ],
	{ encoding: 'utf8', stdio: [ 'ignore', 'pipe', 'pipe' ] }).trim();
const quote = text => JSON.stringify(text);

// Nothing in the background, no name resolved: only the rig's loopback.
const profile = mkdtempSync(join(out, 'chromium-'));
const browser = spawn('/usr/lib/chromium/chromium', [
	'--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
	'--disable-background-networking', '--disable-component-update', '--disable-sync',
	'--disable-dev-shm-usage', '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1', `--user-data-dir=${profile}`,
	'--window-size=1000,900', '--remote-debugging-pipe', 'about:blank'
], { stdio: [ 'ignore', 'ignore', openSync(join(out, 'chromium.log'), 'w'), 'pipe', 'pipe' ] });
// The rig ends what else is left.
function finish(code) {
	browser.removeAllListeners('exit');
	process.exit(code);
}
setTimeout(() => { console.log('FAILED: the page test ran out of its 300 s'); finish(1); }, 300000).unref();

// The protocol: JSON messages ended by a NUL, in on fd 3, out on fd 4.
const waiting = new Map();
let lastId = 0, buffered = '';
browser.stdio[4].setEncoding('utf8');
browser.stdio[4].on('data', chunk => {
	buffered += chunk;
	for (let end; (end = buffered.indexOf('\0')) >= 0; buffered = buffered.slice(end + 1)) {
		const message = JSON.parse(buffered.slice(0, end));
		const call = waiting.get(message.id);
		waiting.delete(message.id);
		if (message.error) call?.reject(new Error(`${call.method}: ${message.error.message}`));
		else call?.resolve(message.result);
	}
});
browser.on('exit', code => { console.log(`FAILED: Chromium ended (${code}), see chromium.log`); finish(1); });
function send(method, params = {}, sessionId = undefined) {
	browser.stdio[3].write(JSON.stringify({ id: ++lastId, method, params, sessionId }) + '\0');
	return new Promise((resolve, reject) => waiting.set(lastId, { method, resolve, reject }));
}

// The browser's own tab, in front: one behind would draw nothing, and a
// dropdown opens only as it is drawn.
await until(async () => (await send('Target.getTargets')).targetInfos.some(target => target.type == 'page'));
const { targetId } = (await send('Target.getTargets')).targetInfos.find(target => target.type == 'page');
const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
const page = (method, params) => send(method, params, sessionId);
await page('Page.bringToFront');

async function evaluate(expression) {
	const { result, exceptionDetails } = await page('Runtime.evaluate',
		{ expression, awaitPromise: true, returnByValue: true });
	if (exceptionDetails) throw new Error(exceptionDetails.exception?.description ?? exceptionDetails.text);
	return result.value;
}
// Waits for `test` (an expression in the page, or a function here) to hold.
async function until(test, seconds = 20) {
	const holds = typeof test == 'function' ? test : () => evaluate(test);
	for (const deadline = Date.now() + seconds * 1000; Date.now() < deadline; await sleep(250))
		if (await Promise.resolve().then(holds).catch(() => false)) return;
	throw new Error(`not within ${seconds} s: ${test}`);
}
const onRouter = command => () => { rig(command); return true; };
// Opens a page, and waits for it rather than for the one before.
async function open(path) {
	await evaluate('window.leaving = true');
	await page('Page.navigate', { url: site + path });
	await until('!window.leaving && document.readyState == "complete"');
}
// Clicks where a person would, once the element is the one there and keeps
// its place (a dropdown opens in steps).
async function click(selector) {
	const where = `(e => { e?.scrollIntoView({ block: 'nearest' }); const r = e?.getBoundingClientRect();
		const x = r?.x + r?.width / 2, y = r?.y + r?.height / 2, hit = r && document.elementFromPoint(x, y);
		return hit && (e.contains(hit) || hit.control == e) ? { x, y } : null; })(document.querySelector(${quote(selector)}))`;
	let at = null, last = null;
	await until(async () => {
		[ last, at ] = [ at, await evaluate(where) ];
		return at && last && at.x == last.x && at.y == last.y;
	}, 5);
	for (const type of [ 'mousePressed', 'mouseReleased' ])
		await page('Input.dispatchMouseEvent', { type, ...at, button: 'left', clickCount: 1 });
}

// Types into a field as a person would, key by key (LuCI checks a field
// as its keys come), after emptying it.
async function type(selector, text) {
	await click(selector);
	await evaluate(`document.querySelector(${quote(selector)}).select()`);
	for (const [ key, code ] of [ [ 'Backspace', 8 ], ...[ ...text ].map(key => [ key ]) ]) {
		await page('Input.dispatchKeyEvent', { type: code ? 'rawKeyDown' : 'keyDown', key, text: code ? undefined : key, windowsVirtualKeyCode: code });
		await page('Input.dispatchKeyEvent', { type: 'keyUp', key, windowsVirtualKeyCode: code });
	}
	await until(`document.querySelector(${quote(selector)}).value == ${quote(text)}`, 2);
}
const field = option => `[id="widget.cbid.lumagatec.main.${option}"], [data-widget-id="widget.cbid.lumagatec.main.${option}"]`;
const shown = name => `document.querySelector('[data-status=${name}]')?.textContent`;
const saveAndApply = () => click('.cbi-page-actions .cbi-button-apply');
const uciFile = () => rig('cat /etc/config/lumagatec');
// The client's process, not the init script running beside it.
const client = () => rig('for p in $(pidof lumagatec); do [ "$(readlink /proc/$p/exe)" != /usr/sbin/lumagatec ] || echo $p; done');
const clientSwitches = () => rig(`tr "\\0" " " </proc/${client()}/cmdline`);

async function screenshot(name) {
	const { contentSize } = await page('Page.getLayoutMetrics');
	const { data } = await page('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true,
		clip: { x: 0, y: 0, width: 1000, height: Math.ceil(contentSize.height), scale: 1 } });
	writeFileSync(join(out, name), Buffer.from(data, 'base64'));
}

let passed = 0, failed = 0;
async function check(name, steps) {
	try {
		await steps();
		passed++;
		console.log(`ok: ${name}`);
	} catch (error) {
		failed++;
		await screenshot(`failed-${passed + failed}.png`).catch(() => {});
		const text = await evaluate(`location.href + '\\n' + document.body.innerText`).catch(() => '');
		console.log(`FAILED: ${name}${`\n${error.message}\nthe page: ${text.slice(0, 600)}`.replaceAll('\n', '\n  | ')}`);
	}
}
function expect(holds, what) {
	if (!holds) throw new Error(what);
}

// OpenWrt 25.12 on; luci-base's files are in place, not its package.
await check('apk installs the .apk', async () => {
	rig(`apk add --initdb --allow-untrusted
		apk mkpkg --info name:luci-base --info version:26.0 --info arch:noarch --output /tmp/luci-base.apk &&
		apk add --allow-untrusted /tmp/luci-base.apk /tmp/pkg/x86_64/lumagatec-*.apk \
			/tmp/pkg/noarch/luci-app-lumagatec-*.apk`);
	await until(onRouter('ubus list luci.lumagatec'), 10);
	const fields = rig('apk adbdump /tmp/pkg/noarch/luci-app-lumagatec-*.apk');
	expect(/arch: noarch\n[^]*depends:.*\n *- luci-base\n *- lumagatec\n/.test(fields), fields.slice(0, 600));
});

await check('root logs in, the page is under Services', async () => {
	await open('/');
	// The theme moves the form into a dialog, then focuses the password.
	await until('document.activeElement?.id == "luci_password"');
	await type('#luci_password', login);
	await click('button.cbi-button-positive');
	await until(`document.querySelector('a[href$="/admin/services/lumagatec"]')`);
	await open('/admin/services/lumagatec');
	await until(`${shown('running')} == 'Not running'`);
});

// What the client refuses at start; the page takes the plain forms.
const refused = [ '0x7f.1', '010.001.002.003', 'key server', `${'a'.repeat(250)}.net` ];
const taken = [ '10.99.0.1', `${'a'.repeat(249)}.net` ];
await check('server values the client refuses are marked and never saved', async () => {
	const before = uciFile();
	for (const value of [ ...refused, ...taken ]) {
		await type(field('server'), value);
		const invalid = await evaluate(`document.querySelector(${quote(field('server'))}).classList.contains('cbi-input-invalid')`);
		expect(invalid == refused.includes(value), `${value.slice(0, 40)}: marked ${invalid ? 'invalid' : 'valid'}`);
	}
	await type(field('server'), refused[0]);
	await saveAndApply();
	await sleep(3000);
	expect(uciFile() == before, `the settings changed:\n${uciFile()}`);
	expect(!rig('uci changes lumagatec; cat /var/run/rpcd/uci-*/lumagatec 2>/dev/null || true'), 'changes are staged');
});

await check('Save & Apply writes the settings, the password its own file, and the client runs with them', async () => {
	await open('/admin/services/lumagatec');
	await until(`document.querySelector(${quote(field('server'))})`);
	await click(field('enabled'));
	await until(`document.querySelector(${quote(field('enabled'))}).checked`, 2);
	await type(field('server'), '10.99.0.1');
	await click('#cbi-lumagatec-main-mode .cbi-dropdown');
	await click('#cbi-lumagatec-main-mode ul.dropdown li[data-value="LOCAL"]');
	await until(`document.querySelector('#cbi-lumagatec-main-mode li[selected][data-value="LOCAL"]')`, 2);
	await type(field('password'), password);
	await saveAndApply();
	await until(onRouter('grep -q "10.99.0.1" /etc/config/lumagatec'), 30);
	const settings = uciFile();
	for (const line of [ "option enabled '1'", "option server '10.99.0.1'", "option mode 'LOCAL'" ])
		expect(settings.includes(line), `no ${line} in\n${settings}`);
	expect(rig('stat -c "%a %U" /etc/lumagatec/password') == '600 root', 'the password file is not root\'s alone');
	expect(rig('cat /etc/lumagatec/password') == password, 'the password file holds another password');
	await until(() => / -s 10\.99\.0\.1 -m LOCAL /.test(clientSwitches() + ' '), 30);
	await until(onRouter('/sbin/logread -e lumagatec | grep -q GOOD'), 30);
});

await check('the password is never in the settings nor on the page', async () => {
	// UCI's files, rpcd's staged changes, and what the page is sent.
	expect(!rig(`grep -rlF ${quote(password)} /etc/config /tmp/.uci /var/run/rpcd 2>/dev/null || true`),
		'the password is in the settings');
	expect(!rig('ubus call luci.lumagatec status').includes(password), 'the state tells the password');
	const onPage = `(() => document.documentElement.outerHTML.includes(${quote(password)}) ||
		[...document.querySelectorAll('input')].some(i => i.value.includes(${quote(password)})))()`;
	expect(!await evaluate(onPage), 'the page shows the password after saving');
	await open('/admin/services/lumagatec');
	await until(`${shown('good')}?.includes('GOOD')`);
	expect(!await evaluate(onPage), 'the page shows the password');
});

await check('the state: running, the server in use, the last GOOD, refreshed', async () => {
	await until(`${shown('running')}.startsWith('Running')`);
	await until(`${shown('server')} == '10.99.0.1'`);
	const good = await evaluate(shown('good'));
	await until(`${shown('good')} != ${quote(good)}`, 30);
});

await check('stop, start and restart from the page', async () => {
	await click('[data-action=stop]');
	await until(() => !client(), 15);
	await until(`${shown('running')} == 'Not running'`);
	await click('[data-action=start]');
	await until(client, 15);
	const pid = client();
	await click('[data-action=restart]');
	await until(() => client() && client() != pid, 15);
	await until(`${shown('running')}.includes(${quote(client())})`);
});

await check('a new password from the page alone restarts the client, a refusal shows as the last failure', async () => {
	for (const [ given, verdict ] of [ [ 'not the password', 'failure' ], [ password, 'good' ] ]) {
		const pid = client();
		const before = await evaluate(shown(verdict));
		await type(field('password'), given);
		await saveAndApply();
		await until(onRouter(`[ "$(cat /etc/lumagatec/password)" = ${quote(given)} ]`), 15);
		await until(() => client() && client() != pid, 15);
		await until(`${shown(verdict)} != ${quote(before)}`, 30);
	}
	expect((await evaluate(shown('failure'))).includes('SORRY'), 'the refusal is not the last failure');
});

await check('a screenshot of the page', async () => {
	await open('/admin/services/lumagatec');
	await until(`${shown('good')}?.includes('GOOD')`, 30);
	await screenshot('page.png');
});

console.log(`luci-page: ${passed} passed, ${failed} failed`);
finish(failed ? 1 : 0);
