// The join page's side of the conversation with the launcher: it asks for what the launcher
// remembers, fills the form with the answers, and hands the customer's choices over on Join.
// In a plain browser (no window.webkit) it renders all the same and says so discreetly.
(function () {
  'use strict';

  const WINDOW_TITLE = 'Kelo Helvo - Join session';
  const params = new URLSearchParams(window.location.search);
  const bridge = window.webkit && window.webkit.messageHandlers;

  function post(name, body) {
    const handler = bridge && bridge[name];
    if (!handler) return false;
    try {
      handler.postMessage(body === undefined ? null : body);
      return true;
    } catch (error) {
      return false;
    }
  }

  // Reports to the local service that serves the page (tests and the demo wait for these).
  function report(name, extra) {
    try {
      const body = JSON.stringify(Object.assign({ name: name }, extra || {}));
      window.fetch('/__event', { method: 'POST', body: body, keepalive: true }).catch(() => {});
    } catch (error) {
      // Nothing to do: the page works without the report.
    }
  }

  const $ = (id) => document.getElementById(id);
  const field = {
    key: $('session-key'),
    name: $('name'),
    company: $('company'),
    email: $('email'),
    host: $('proxy-host'),
    port: $('proxy-port'),
    auth: $('proxy-auth'),
    user: $('proxy-user'),
    password: $('proxy-password'),
  };
  let rrSessionDigest = '';

  // The launcher's answers fill only fields that the customer has not typed into yet.
  function fill(input, value) {
    if (typeof value !== 'string' && typeof value !== 'number') return;
    if (input.value !== '' || input.dataset.edited === 'true') return;
    input.value = String(value);
  }

  function showCredentials() {
    $('proxy-credentials').hidden = !field.auth.checked;
  }

  window.receiveCustomerDetails = function (details) {
    if (!details || typeof details !== 'object') return;
    fill(field.name, details.name);
    fill(field.company, details.company);
    fill(field.email, details.email);
  };

  window.receiveProxyDetails = function (details) {
    if (!details || typeof details !== 'object') return;
    fill(field.host, details.host);
    fill(field.port, details.port);
    fill(field.user, details.userName);
    fill(field.password, details.password);
    if (typeof details.authRequired === 'boolean' && field.auth.dataset.edited !== 'true') {
      field.auth.checked = details.authRequired;
      showCredentials();
    }
    if (field.host.value !== '') $('proxy').open = true;
  };

  window.receiveActiveSessionKey = function (key) {
    fill(field.key, key);
  };

  window.receiveSystemOs = function (os) {
    if (typeof os === 'string' && os !== '') $('platform').textContent = 'Platform: ' + os;
  };

  window.receiveRRSessionDigest = function (digest) {
    if (typeof digest === 'string') rrSessionDigest = digest;
    document.body.dataset.rrSessionDigest = rrSessionDigest;
  };

  function setError(input, errorId, text) {
    $(errorId).textContent = text;
    if (text) {
      input.setAttribute('aria-invalid', 'true');
    } else {
      input.removeAttribute('aria-invalid');
    }
    return !text;
  }

  function digitsOf(text) {
    return text.replace(/[\s-]/g, '');
  }

  // Checks what the customer typed. An automatic join skips the length rule so that the
  // launcher's own checks can be exercised with any key.
  function validate(strict) {
    const key = digitsOf(field.key.value);
    let ok = true;
    if (!/^\d+$/.test(key)) {
      ok = setError(field.key, 'session-key-error', 'Enter the session key you were given.');
    } else if (strict && (key.length < 9 || key.length > 10)) {
      ok = setError(field.key, 'session-key-error', 'A session key has 9 or 10 digits.');
    } else {
      setError(field.key, 'session-key-error', '');
    }
    const email = field.email.value.trim();
    if (strict && email !== '' && !/^[^\s@]+@[^\s@]+$/.test(email)) {
      ok = setError(field.email, 'email-error', 'Enter an e-mail address like name@example.com.') && ok;
    } else {
      setError(field.email, 'email-error', '');
    }
    if (field.host.value.trim() !== '') {
      const port = Number(field.port.value.trim());
      if (!Number.isInteger(port) || port < 1 || port > 65535) {
        ok = setError(field.port, 'proxy-port-error', 'Enter a port between 1 and 65535.') && ok;
        $('proxy').open = true;
      } else {
        setError(field.port, 'proxy-port-error', '');
      }
    } else {
      setError(field.port, 'proxy-port-error', '');
    }
    return ok;
  }

  function setStatus(text, kind) {
    const status = $('status');
    status.textContent = text;
    status.className = 'status' + (kind ? ' ' + kind : '');
  }

  function join(strict) {
    if (!validate(strict)) {
      const invalid = document.querySelector('[aria-invalid="true"]');
      if (invalid && strict) invalid.focus();
      return;
    }
    const email = field.email.value.trim();
    post('sendCustomerDetailsToNative', JSON.stringify({
      name: field.name.value.trim(),
      company: field.company.value.trim(),
      email: email,
      language: 'en',
    }));
    const host = field.host.value.trim();
    if (host !== '') {
      post('sendProxyDetailsToNative', JSON.stringify({
        host: host,
        port: Number(field.port.value.trim()),
        authRequired: field.auth.checked,
        userName: field.auth.checked ? field.user.value : '',
        password: field.auth.checked ? field.password.value : '',
      }));
    }
    const message = { sessionKey: Number(digitsOf(field.key.value)), email: email };
    if (params.has('dc')) message.dc = params.get('dc');
    const sent = post('sendJoinDetailsToNative', JSON.stringify(message));
    report('join', { sessionKey: message.sessionKey });

    if (sent) {
      $('join').disabled = true;
      setStatus('Starting the support application…', 'ok');
      // Let the customer try again if nothing happens.
      window.setTimeout(() => {
        $('join').disabled = false;
      }, 8000);
    } else {
      setStatus('Open this page from the Kelo Helvo Pellix application to join.');
    }
  }

  $('join-form').addEventListener('submit', (event) => {
    event.preventDefault();
    join(true);
  });
  for (const input of Object.values(field)) {
    input.addEventListener('input', () => {
      input.dataset.edited = 'true';
    });
  }
  field.auth.addEventListener('change', showCredentials);

  window.addEventListener('error', (event) => {
    post('consoleHandler', 'join page: ' + String(event.message));
  });

  if (!bridge) $('preview-note').hidden = false;

  // Ask the launcher for what it remembers; the answers arrive through the receivers above.
  post('pellixLoaded');
  post('getSystemOs');
  post('getCustomerDetails');
  post('getProxyDetails');
  post('getActiveSessionKey');
  post('sendPellixTitleToNative', WINDOW_TITLE);

  // The demo's customer joins by itself: the service that plays the demo answers autojoin.json
  // with who joins (a real service has no such file). The short wait lets the launcher's
  // answers arrive first; the demo's values win over remembered ones.
  function autojoin(given) {
    window.setTimeout(() => {
      for (const input of ['key', 'email', 'name', 'company']) {
        if (typeof given[input] === 'string') {
          field[input].value = given[input];
          field[input].dataset.edited = 'true';
        }
      }
      join(false);
    }, 300);
  }

  window.addEventListener('load', () => {
    report('load', { native: Boolean(bridge) });
    window.fetch('/join/autojoin.json', { cache: 'no-store' })
      .then((response) => (response.ok ? response.json() : null))
      .then((given) => {
        if (given && typeof given === 'object') autojoin(given);
      })
      .catch(() => {});
  });
})();
