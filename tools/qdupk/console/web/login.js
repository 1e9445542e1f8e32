// Trades the token in the printed address (#t=...) for the session cookie,
// then loads the console. The token leaves the address bar at once, so it
// is neither bookmarked nor shown over the technician's shoulder.
'use strict';

(function () {
  const printed = "open the address 'qdupk console' printed (it ends in #t= and the token)";

  function fail(text) {
    document.getElementById('login-state').hidden = true;
    const message = document.getElementById('message');
    message.textContent = text;
    message.hidden = false;
  }

  function tokenFromAddress() {
    const match = /(?:^#|&)t=([^&]*)/.exec(window.location.hash);
    history.replaceState(null, '', window.location.pathname);
    return match ? decodeURIComponent(match[1]) : '';
  }

  async function signIn(token) {
    const answer = await fetch('/api/session', {
      method: 'POST',
      credentials: 'same-origin',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ token: token }),
    });
    if (answer.ok) {
      window.location.replace('/');
      return;
    }
    let text = 'the console refused this address (HTTP ' + answer.status + ')';
    try {
      const body = await answer.json();
      if (body && body.message) text = body.message;
    } catch (e) {
      // Not JSON: the status says enough.
    }
    fail(text + ': ' + printed);
  }

  const token = tokenFromAddress();
  if (!token) {
    fail('No access token: ' + printed + '.');
    return;
  }
  signIn(token).catch(function (e) {
    fail('The console does not answer (' + e.message + '): is qdupk console still running?');
  });
})();
