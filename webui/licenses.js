// The third-party libraries the host ships, with their licences. A library
// added to the host gets its entry here.
'use strict';

const EXPAT_TEXT =
  'Permission is hereby granted, free of charge, to any person obtaining a copy of this software and ' +
  'associated documentation files (the "Software"), to deal in the Software without restriction, including ' +
  'without limitation the rights to use, copy, modify, merge, publish, distribute, sublicense, and/or sell ' +
  'copies of the Software, and to permit persons to whom the Software is furnished to do so, subject to the ' +
  'following conditions: The above copyright notice and this permission notice shall be included in all ' +
  'copies or substantial portions of the Software. THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY ' +
  'KIND, EXPRESS OR IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A ' +
  'PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ' +
  'ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, ' +
  'OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE.';

// eslint-disable-next-line no-unused-vars
const THIRD_PARTY_LICENSES = [
  {
    name: 'QR Code generator library (C)',
    use: {en: 'draws the pairing code', tr: 'eşleştirme kodunu çizer'},
    copyright: 'Copyright © 2017-2020 Project Nayuki',
    license: 'MIT (Expat)',
    text: EXPAT_TEXT,
  },
  {
    name: 'OpenSSL',
    use: {en: 'TLS, encryption, random numbers', tr: 'TLS, şifreleme, rastgele sayılar'},
    copyright: 'Copyright © 1995-2020 The OpenSSL Project Authors',
    license: 'Apache License 2.0',
    text: 'Licensed under the Apache License, Version 2.0; you may not use this library except in compliance ' +
      'with the License. You may obtain a copy at https://www.apache.org/licenses/LICENSE-2.0. Distributed on ' +
      'an "AS IS" BASIS, WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND.',
  },
  {
    name: 'x264',
    use: {en: 'H.264 encoding (Linux build)', tr: 'H.264 kodlama (Linux derlemesi)'},
    copyright: 'Copyright © 2003-2022 x264 project',
    license: 'GNU GPL 2.0 or later',
    text: 'This library is free software; you can redistribute it and/or modify it under the terms of the GNU ' +
      'General Public License as published by the Free Software Foundation; either version 2 of the License, ' +
      'or (at your option) any later version. It is distributed WITHOUT ANY WARRANTY.',
  },
  {
    name: 'CivetWeb',
    use: {en: 'serves this panel on the computer itself (Linux build)',
          tr: 'bu paneli yalnız bilgisayarın kendisine sunar (Linux derlemesi)'},
    copyright: 'Copyright © 2013-2020 The CivetWeb developers; 2004-2013 Sergey Lyubka; ' +
      '2013 No Face Press, LLC; 2013 F-Secure Corporation',
    license: 'MIT (Expat)',
    text: EXPAT_TEXT,
  },
  {
    name: 'libcurl',
    use: {en: 'looks for a newer version (Linux build)', tr: 'yeni sürümü denetler (Linux derlemesi)'},
    copyright: 'Copyright © 1996-2023 Daniel Stenberg and many contributors',
    license: 'curl licence (MIT/X derivative)',
    text: 'Permission to use, copy, modify, and distribute this software for any purpose with or without fee is ' +
      'hereby granted, provided that the above copyright notice and this permission notice appear in all ' +
      'copies. THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING ' +
      'BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND ' +
      'NONINFRINGEMENT OF THIRD PARTY RIGHTS. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ' +
      'ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, ' +
      'OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE.',
  },
  {
    name: 'Avahi client library',
    use: {en: 'makes this computer findable on the local network (Linux build)',
          tr: 'bu bilgisayarı yerel ağda bulunur kılar (Linux derlemesi)'},
    copyright: 'Copyright © 2004-2016 the Avahi developers',
    license: 'GNU LGPL 2.1 or later',
    text: 'This library is free software; you can redistribute it and/or modify it under the terms of the GNU ' +
      'Lesser General Public License as published by the Free Software Foundation; either version 2.1 of the ' +
      'License, or (at your option) any later version. It is distributed WITHOUT ANY WARRANTY.',
  },
];
