print('a\65\066\0677', '\x4a\x4A\x6f', 'it\'s', "say \"hi\"", '\\', 'q\"')
print(#'\a\b\f\n\r\t\v', #'\0\1a\255\xff', #'ab', #'', #'\9\99')
print('\97\98', 'x\tz', "it's", 'say "hi"')